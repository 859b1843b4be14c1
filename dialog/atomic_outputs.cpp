// Temporaries of the six outputs, their removal on every way out, the lock that
// lets one run at a time write a result set, and the renames that publish the six
// together or not at all.
#include "atomic_outputs.h"

#include "ending_signals.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int SLOTS = 6;
constexpr std::size_t PATH_ROOM = 4096;

// Kept in static buffers so that the signal handler can unlink them without
// allocating. in_use[k] is set only once temporaries[k] holds a whole path.
char temporaries[SLOTS][PATH_ROOM];
char finals[SLOTS][PATH_ROOM];
volatile std::sig_atomic_t in_use[SLOTS];

// The lock file of the result set and its descriptor while the lock is held.
char lock_path[PATH_ROOM];
volatile std::sig_atomic_t lock_fd = -1;

void unlink_all()
{
    for (int k = 0; k < SLOTS; k++)
        if (in_use[k]) {
            in_use[k] = 0;
            unlink(temporaries[k]);
        }
}

// The name goes before the lock, so that a run that was waiting for it sees
// that its file is no longer the lock and opens the name again.
void release_lock()
{
    const int fd = lock_fd;
    if (fd >= 0) {
        lock_fd = -1;
        unlink(lock_path);
        close(fd);
    }
}

void discard_run()
{
    unlink_all();
    release_lock();
}

extern "C" void on_ending_signal(int sig)
{
    if (ending_signal_held(sig)) // the six are being renamed: raised again when they are in place
        return;
    const int saved = errno;
    discard_run();
    errno = saved;
    // The handler was installed with SA_RESETHAND: raised again, the signal ends
    // the process with its usual status once this handler returns.
    raise(sig);
}

void guard_once()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    std::atexit(discard_run);
    on_ending_signals(on_ending_signal);
}

bool copy_path(char (&to)[PATH_ROOM], const std::string &from)
{
    if (from.size() >= PATH_ROOM) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(to, from.c_str(), from.size() + 1);
    return true;
}

std::string folder_of(const std::string &host_path)
{
    const std::size_t slash = host_path.find_last_of('/');
    return slash == std::string::npos ? "." : host_path.substr(0, slash + 1);
}

// A hidden name of this process beside `host_path`: ".NAME" + tag + PID, which
// no run reads as a result.
std::string hidden_beside(const std::string &host_path, const char *tag)
{
    const std::size_t slash = host_path.find_last_of('/');
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    return host_path.substr(0, base) + "." + host_path.substr(base) + tag + std::to_string(getpid());
}

// Opens the lock file and locks it; -1 with errno set (EWOULDBLOCK: another run
// holds it and `wait` is false). Called with the ending signals blocked, which
// are let through only while waiting, so that no signal can leave behind a lock
// file this run created.
int open_and_lock(bool wait, const sigset_t &unblocked)
{
    for (;;) {
        const int fd = open(lock_path, O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0)
            return -1;
        int r = flock(fd, LOCK_EX | LOCK_NB);
        if (r != 0 && errno == EWOULDBLOCK && wait) {
            sigset_t blocked;
            sigprocmask(SIG_SETMASK, &unblocked, &blocked);
            while ((r = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
            }
            const int error = errno;
            sigprocmask(SIG_SETMASK, &blocked, nullptr);
            errno = error;
        }
        if (r != 0) {
            const int error = errno;
            close(fd);
            errno = error;
            return -1;
        }
        // The run we waited for removed the file before it let go: the lock
        // counts only on the file that bears the name now.
        struct stat held {}, named {};
        if (fstat(fd, &held) == 0 && lstat(lock_path, &named) == 0 && held.st_dev == named.st_dev
            && held.st_ino == named.st_ino)
            return fd;
        close(fd);
    }
}

// How the previous result of an output is kept while the six are renamed.
enum class Kept { nothing, linked, moved };

// Keeps the previous result at `final` under `backup`: a second name for the same
// file, or, where files cannot have two names, the file moved there. A folder is
// no result to keep: its name cannot take one.
bool keep_previous(const char *final, const std::string &backup, Kept &kept)
{
    kept = Kept::nothing;
    struct stat s {};
    if (lstat(final, &s) != 0)
        return errno == ENOENT;
    if (S_ISDIR(s.st_mode)) {
        errno = EISDIR;
        return false;
    }
    if (!S_ISREG(s.st_mode) && !S_ISLNK(s.st_mode)) { // a device or FIFO put there during the run
        errno = ENXIO;
        return false;
    }
    unlink(backup.c_str()); // left by a killed process that had the same number
    if (link(final, backup.c_str()) == 0)
        kept = Kept::linked;
    else if (std::rename(final, backup.c_str()) == 0)
        kept = Kept::moved;
    return kept != Kept::nothing;
}

} // namespace

std::string cause_of(int error)
{
    switch (error) {
    case 0: // a stream that failed without a system call to blame
        return "causa desconocida";
    case ENOENT:
        return "no existe";
    case EACCES:
    case EPERM:
        return "permiso denegado";
    case EISDIR:
        return "es una carpeta";
    case ENOSPC:
        return "disco lleno";
    case EDQUOT:
        return "cuota de disco agotada";
    case EFBIG:
        return "archivo demasiado grande";
    case EROFS:
        return "sistema de archivos de solo lectura";
    case ENAMETOOLONG:
        return "nombre demasiado largo";
    case ENOTDIR:
        return "una parte de la ruta no es una carpeta";
    case ELOOP:
        return "demasiados enlaces simbolicos";
    case EIO:
        return "error de entrada/salida";
    case EMFILE:
    case ENFILE:
        return "demasiados archivos abiertos";
    case ENXIO:
        return "no es un archivo normal";
    default:
        return "error del sistema " + std::to_string(error);
    }
}

std::string refusal_of_output(const std::string &host_path)
{
    struct stat s {};
    if (stat(host_path.c_str(), &s) == 0) {
        if (S_ISDIR(s.st_mode))
            return cause_of(EISDIR);
        // Writing one would feed a reader or a device, or the result would
        // replace the node itself (/dev/null, run as root).
        if (S_ISFIFO(s.st_mode))
            return "es una tuberia con nombre (FIFO), no un archivo";
        if (S_ISCHR(s.st_mode) || S_ISBLK(s.st_mode))
            return "es un dispositivo, no un archivo";
        if (S_ISSOCK(s.st_mode))
            return "es un socket, no un archivo";
        // A result the operator made read-only is left alone, as opening it for
        // writing would have done.
        if (access(host_path.c_str(), W_OK) != 0)
            return cause_of(errno);
    } else if (errno != ENOENT) {
        return cause_of(errno);
    }
    if (access(folder_of(host_path).c_str(), W_OK | X_OK) != 0)
        return cause_of(errno);
    return "";
}

std::FILE *create_temporary(int slot, const std::string &host_path, const char *mode)
{
    guard_once();
    if (slot == 0)
        unlink_all();
    if (!copy_path(temporaries[slot], hidden_beside(host_path, ".tmp-")) || !copy_path(finals[slot], host_path))
        return nullptr;
    in_use[slot] = 1;
    int fd = open(temporaries[slot], O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) {
        // Left by a killed process that had the same number: ours to replace.
        unlink(temporaries[slot]);
        fd = open(temporaries[slot], O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    }
    if (fd < 0) {
        in_use[slot] = 0;
        return nullptr;
    }
    std::FILE *f = fdopen(fd, mode);
    if (f == nullptr) {
        const int error = errno;
        close(fd);
        errno = error;
    }
    return f;
}

bool close_synced(std::FILE *f)
{
    bool ok = std::fflush(f) == 0 && !std::ferror(f);
    int error = ok ? 0 : errno;
    // A special file that cannot be synced (EINVAL) has nothing to wait for.
    if (ok && fsync(fileno(f)) != 0 && errno != EINVAL) {
        ok = false;
        error = errno;
    }
    if (std::fclose(f) != 0 && ok) {
        ok = false;
        error = errno;
    }
    errno = error;
    return ok;
}

LockState lock_result_set(const std::string &host_lock_path, bool wait)
{
    guard_once();
    release_lock();
    if (!copy_path(lock_path, host_lock_path))
        return LockState::failed;
    const sigset_t ending = ending_signals();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &ending, &previous);
    const int fd = open_and_lock(wait, previous);
    const int error = errno;
    if (fd >= 0)
        lock_fd = fd;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return fd >= 0 ? LockState::held : error == EWOULDBLOCK ? LockState::busy : LockState::failed;
}

bool commit_outputs(int *failed)
{
    // Blocked on this thread, held by the handler on the others (the phases'
    // threads may still be there), and raised once the six are in place or back.
    hold_ending_signals();
    Kept kept[SLOTS] = {};
    bool replaced[SLOTS] = {};
    std::string backups[SLOTS];
    bool ok = true;
    int error = 0;
    std::string folder;
    for (int k = 0; k < SLOTS && ok; k++) {
        if (!in_use[k])
            continue;
        backups[k] = hidden_beside(finals[k], ".old-");
        ok = keep_previous(finals[k], backups[k], kept[k]);
        if (!ok) {
            error = errno;
            if (failed != nullptr)
                *failed = k;
        }
    }
    for (int k = 0; k < SLOTS && ok; k++) {
        if (!in_use[k])
            continue;
        if (std::rename(temporaries[k], finals[k]) != 0) {
            ok = false;
            error = errno;
            if (failed != nullptr)
                *failed = k;
            break;
        }
        in_use[k] = 0;
        replaced[k] = true;
        folder = folder_of(finals[k]);
    }
    for (int k = 0; k < SLOTS; k++) {
        if (ok) {
            if (kept[k] != Kept::nothing)
                unlink(backups[k].c_str());
        } else if (kept[k] != Kept::nothing) {
            // The previous result back under its name; where it still bears that
            // name too, the rename does nothing and the hidden name goes. Should
            // the rename fail, the hidden name is all that is left of it, and stays.
            if (std::rename(backups[k].c_str(), finals[k]) == 0)
                unlink(backups[k].c_str());
        } else if (replaced[k]) {
            unlink(finals[k]); // there was none
        }
    }
    unlink_all();
    if (ok && !folder.empty()) {
        // The renames themselves must reach the disk.
        const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            fsync(fd);
            close(fd);
        }
    }
    release_lock();
    release_ending_signals();
    errno = error;
    return ok;
}

void discard_outputs() { discard_run(); }
