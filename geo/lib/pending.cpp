// The pending files of a run and their commit (pending.h): the temporary names
// in private folders, the locks that keep two runs off one product, the removal
// of what a killed run left, and the renames under the signals' hold.
#include "pending.h"

#include "failure.h"
#include "paths.h"

#include "ending_signals.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <mutex>

#include <cpl_conv.h>
#include <cpl_vsi.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tolvane::geo {

namespace {

// What a signal that ends the process (Ctrl-C, SIGTERM, SIGHUP...) must undo, in
// static slots that its handler reads without allocating: the private folders
// of the runs' temporary files, and the products being published.
constexpr int SLOTS = 16;
constexpr std::size_t ROOM = 4096;

char private_folders[SLOTS][ROOM];
volatile std::sig_atomic_t folder_used[SLOTS];

// A product being renamed into place: 1 while the earlier file is (being) moved
// aside to kept[k], 2 while the new one is (being) renamed over it, 3 while the
// new one is renamed to a name that had no file. Each state is set before the
// rename it names, so that the handler's undo is right whether it ran or not.
enum Publish : int { none = 0, moving_aside = 1, replacing = 2, creating = 3 };
char kept[SLOTS][ROOM];
char published[SLOTS][ROOM];
volatile std::sig_atomic_t publish_used[SLOTS];
volatile std::sig_atomic_t publishing[SLOTS];

std::mutex slots_mutex; // taking and giving back slots (not for the handler)

// Removes every entry of a folder (GDAL's side files included) and the folder
// itself, with system calls a signal handler may make.
void remove_folder(const char *folder)
{
    const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        alignas(8) char buffer[4096];
        for (int pass = 0; pass < 64; pass++) {
            lseek(fd, 0, SEEK_SET);
            bool removed = false;
            long n;
            while ((n = syscall(SYS_getdents64, fd, buffer, sizeof buffer)) > 0)
                for (long at = 0; at < n;) {
                    struct Entry {
                        std::uint64_t inode;
                        std::int64_t offset;
                        unsigned short length;
                        unsigned char type;
                        char name[1];
                    };
                    const auto *e = reinterpret_cast<const Entry *>(buffer + at);
                    at += e->length;
                    if (std::strcmp(e->name, ".") != 0 && std::strcmp(e->name, "..") != 0 &&
                        unlinkat(fd, e->name, 0) == 0)
                        removed = true;
                }
            if (!removed)
                break;
        }
        close(fd);
    }
    rmdir(folder);
}

// Puts back what was published of an unfinished commit.
void undo_publishing(int k)
{
    switch (publishing[k]) {
    case moving_aside:
    case replacing:
        rename(kept[k], published[k]);
        break;
    case creating:
        unlink(published[k]);
        break;
    default:
        break;
    }
    publishing[k] = none;
}

extern "C" void on_ending_signal(int sig)
{
    if (ending_signal_held(sig)) // a commit is renaming: it raises the signal when done
        return;
    const int saved = errno;
    for (int k = 0; k < SLOTS; k++)
        undo_publishing(k);
    for (int k = 0; k < SLOTS; k++)
        if (folder_used[k])
            remove_folder(private_folders[k]);
    errno = saved;
    // Installed with SA_RESETHAND: raised again, the signal ends the process with
    // its usual status once this handler returns.
    raise(sig);
}

// A free slot of `used`, holding `path`; -1 when none is left or the path is too
// long (the destructor still cleans up on every other way out).
int take_slot(volatile std::sig_atomic_t (&used)[SLOTS], char (&paths)[SLOTS][ROOM], const std::string &path)
{
    static const bool installed = [] {
        // Only where the process keeps the default action: a host with handlers
        // of its own (Python's Ctrl-C) unwinds the run, and the destructors clean up.
        on_default_ending_signals(on_ending_signal);
        return true;
    }();
    (void)installed;
    const std::lock_guard<std::mutex> lock(slots_mutex);
    if (path.size() >= ROOM)
        return -1;
    for (int k = 0; k < SLOTS; k++)
        if (!used[k]) {
            std::memcpy(paths[k], path.c_str(), path.size() + 1);
            std::atomic_signal_fence(std::memory_order_seq_cst);
            used[k] = 1;
            return k;
        }
    return -1;
}

std::string system_reason() { return std::strerror(errno); }

constexpr const char PRIVATE_PREFIX[] = ".tolvane-";

// Syncs a complete file, so that the name never points at data still in the cache.
bool synced(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = fsync(fd) == 0 || errno == EINVAL;
    close(fd);
    return ok;
}

void sync_folder(const std::string &folder)
{
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// The destination folder locked for a moment, while a run looks at the private
// folders in it and claims a name: so that a folder just made by mkdtemp is
// locked by its run before another run looks at it. Without a way to open the
// folder (no read permission) there is no lock, and no look either.
class FolderLock {
public:
    explicit FolderLock(const std::string &folder)
        : fd_(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        if (fd_ >= 0)
            while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~FolderLock()
    {
        if (fd_ >= 0)
            close(fd_); // gives back the lock
    }
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;
    bool held() const { return fd_ >= 0; }

private:
    int fd_;
};

// Looks at the private folders of other runs in `folder` (with its FolderLock
// held): those no living run holds are removed; true when a living one holds an
// entry `name`, a product it is writing.
bool sweep_and_find(const std::string &folder, const std::string &mine, const std::string &name)
{
    DIR *d = opendir(folder.c_str());
    if (!d)
        return false;
    bool found = false;
    while (const dirent *e = readdir(d)) {
        if (std::strncmp(e->d_name, PRIVATE_PREFIX, sizeof PRIVATE_PREFIX - 1) != 0)
            continue;
        const std::string path = CPLFormFilename(folder.c_str(), e->d_name, nullptr);
        if (path == mine)
            continue;
        const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            remove_folder(path.c_str()); // its process is gone
        } else if (!name.empty() && faccessat(fd, name.c_str(), F_OK, AT_SYMLINK_NOFOLLOW) == 0) {
            found = true;
        }
        close(fd);
    }
    closedir(d);
    return found;
}


} // namespace

PendingFiles::~PendingFiles()
{
    for (const Folder &f : folders_) {
        remove_folder(f.path.c_str());
        if (f.fd >= 0)
            close(f.fd);
        if (f.slot >= 0) {
            const std::lock_guard<std::mutex> lock(slots_mutex);
            folder_used[f.slot] = 0;
        }
    }
}

std::string PendingFiles::add(const std::string &final_name)
{
    const std::string folder = CPLGetPath(final_name.c_str());
    VSIStatBufL st;
    if (!folder.empty() && (VSIStatL(folder.c_str(), &st) != 0 || !VSI_ISDIR(st.st_mode)))
        throw Failure("cannot write " + final_name + ": no folder " + folder);
    if (VSIStatL(final_name.c_str(), &st) == 0 && VSI_ISDIR(st.st_mode))
        throw Failure("cannot write " + final_name + ": it is a folder");
    for (const File &f : files_)
        if (f.final_name == final_name)
            throw Failure("two products would be written to " + final_name);
    // Every temporary file of the run, and whatever GDAL writes beside it, goes
    // into a folder of this run's own beside the destination (so that the rename
    // is atomic), made by mkdtemp: no other user can plant a link in it.
    const std::string where = folder.empty() ? "." : folder;
    const std::string name = CPLGetFilename(final_name.c_str());
    const FolderLock lock(where);
    auto mine = std::find_if(folders_.begin(), folders_.end(), [&](const Folder &f) { return f.folder == where; });
    if (lock.held() && sweep_and_find(where, mine == folders_.end() ? "" : mine->path, name))
        throw Failure("cannot write " + final_name + ": another run is writing it; wait for it to end or choose "
                      "another name");
    if (mine == folders_.end()) {
        std::string pattern = CPLFormFilename(where.c_str(), ".tolvane-XXXXXX", nullptr);
        if (!mkdtemp(pattern.data()))
            throw Failure("cannot write " + final_name + ": cannot create a temporary folder in " + where + ": " +
                          system_reason());
        const int fd = open(pattern.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0)
            flock(fd, LOCK_EX | LOCK_NB); // a new folder: no one else holds it
        folders_.push_back({where, pattern, take_slot(folder_used, private_folders, pattern), fd});
        mine = folders_.end() - 1;
    }
    files_.push_back({final_name, CPLFormFilename(mine->path.c_str(), name.c_str(), nullptr)});
    // The name is claimed while the folder lock is held: the file GDAL writes
    // later takes its place.
    const int claim = open(files_.back().temporary.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (claim >= 0)
        close(claim);
    return files_.back().temporary;
}

std::string PendingFiles::scratch(const std::string &final_name, const std::string &suffix)
{
    for (const File &f : files_)
        if (f.final_name == final_name && !f.scratch) {
            files_.push_back({final_name, f.temporary + suffix, true});
            return files_.back().temporary;
        }
    throw Failure("no temporary name for " + final_name);
}

namespace {

// Each product's temporary holds what was written to it, and is on the disk.
void check_written(const std::string &final_name, const std::string &temporary)
{
    // The name claimed in add() and never written holds nothing to publish.
    struct stat st {};
    if (stat(temporary.c_str(), &st) == 0 && st.st_size == 0)
        throw Failure("cannot write " + final_name + ": nothing was written to it");
    if (!synced(temporary))
        throw Failure("cannot write " + final_name + ": " + system_reason());
}

// Moves the earlier product of `final_name` aside, then `temporary` into its
// name, each step recorded in `slot` first so that the signal handler and
// undo_publishing() know what to put back. Returns why it failed, or "".
std::string publish(int slot, const std::string &final_name, const std::string &temporary,
                    const std::string &aside)
{
    std::memcpy(published[slot], final_name.c_str(), final_name.size() + 1);
    struct stat before {};
    const bool earlier = lstat(final_name.c_str(), &before) == 0;
    if (earlier && S_ISDIR(before.st_mode)) // put there during the run
        return "cannot write " + final_name + ": it is a folder";
    if (const char *kind = earlier ? special_kind(final_name) : nullptr)
        return "cannot write " + final_name + ": it is " + kind + ", not a file";
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (earlier) {
        publishing[slot] = moving_aside;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        if (rename(final_name.c_str(), aside.c_str()) != 0) {
            const std::string why = system_reason();
            publishing[slot] = none;
            return "cannot replace " + final_name + ": " + why;
        }
    }
    publishing[slot] = earlier ? replacing : creating;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (rename(temporary.c_str(), final_name.c_str()) != 0)
        return "cannot rename " + temporary + " to " + final_name + ": " + system_reason();
    return "";
}

} // namespace

// All or nothing: each earlier product is moved aside into the private folder
// before its new file takes the name, and everything is put back if a rename
// fails (or a signal ends the process) before the last one is in place.
void PendingFiles::commit()
{
    for (const File &f : files_)
        if (!f.scratch)
            check_written(f.final_name, f.temporary);
    std::vector<int> slots; // of the products renamed so far, and of the one being renamed
    hold_ending_signals();
    auto release = [&slots] {
        {
            const std::lock_guard<std::mutex> lock(slots_mutex);
            for (int k : slots) {
                publishing[k] = none;
                publish_used[k] = 0;
            }
        }
        release_ending_signals();
    };
    auto undo = [&](const std::string &message) {
        for (auto k = slots.rbegin(); k != slots.rend(); ++k)
            undo_publishing(*k);
        release();
        throw Failure(message);
    };
    for (const File &f : files_) {
        if (f.scratch)
            continue;
        const std::string aside = f.temporary + ".kept";
        const int slot = f.final_name.size() < ROOM ? take_slot(publish_used, kept, aside) : -1;
        if (slot < 0)
            undo("cannot write " + f.final_name + ": too many products at once, or its name is too long");
        slots.push_back(slot);
        if (const std::string why = publish(slot, f.final_name, f.temporary, aside); !why.empty())
            undo(why);
    }
    // Every product is in place: nothing to put back any more.
    for (const Folder &f : folders_)
        sync_folder(f.folder);
    release();
    files_.clear();
}

ProductNames pending_products(PendingFiles &files, const ProductRequest &p)
{
    ProductNames names;
    names.model = files.add(p.output);
    if (!p.contours.empty())
        names.contours = files.add(p.contours);
    if (!p.hillshade.empty())
        names.hillshade = files.add(p.hillshade);
    if (!p.leaks.empty())
        names.leaks = files.add(p.leaks);
    if (!p.sinks.empty())
        names.sinks = files.add(p.sinks);
    return names;
}


} // namespace tolvane::geo
