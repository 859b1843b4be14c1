// Preloaded into a run to play a system that starts at most MOST_THREADS
// threads at once (as a low memory limit or a cgroup's task limit does): a
// thread asked for beyond them fails with EAGAIN.
#include <cerrno>
#include <cstdlib>

#include <dlfcn.h>
#include <pthread.h>

namespace {

int live = 0;

struct start {
    void *(*body)(void *);
    void *arg;
};

extern "C" void ended(void *)
{
    __atomic_sub_fetch(&live, 1, __ATOMIC_SEQ_CST);
}

extern "C" void *counted(void *p)
{
    const start s = *static_cast<start *>(p);
    void *r;
    std::free(p);
    pthread_cleanup_push(ended, nullptr);
    r = s.body(s.arg);
    pthread_cleanup_pop(1);
    return r;
}

} // namespace

extern "C" int pthread_create(pthread_t *t, const pthread_attr_t *a, void *(*body)(void *), void *arg) noexcept
{
    using Create = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    static const Create real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    const char *most = std::getenv("MOST_THREADS");
    if (__atomic_add_fetch(&live, 1, __ATOMIC_SEQ_CST) > (most ? std::atoi(most) : 1 << 20)) {
        __atomic_sub_fetch(&live, 1, __ATOMIC_SEQ_CST);
        return EAGAIN;
    }
    auto *s = static_cast<start *>(std::malloc(sizeof(start)));
    if (!s) {
        __atomic_sub_fetch(&live, 1, __ATOMIC_SEQ_CST);
        return EAGAIN;
    }
    s->body = body;
    s->arg = arg;
    const int e = real(t, a, counted, s);
    if (e) {
        std::free(s);
        __atomic_sub_fetch(&live, 1, __ATOMIC_SEQ_CST);
    }
    return e;
}
