// The products of a run under temporary names until all of them are complete,
// and their publication all together or not at all.
//
// Every temporary file goes into a private folder of the run (".tolvane-XXXXXX")
// beside its destination, which the run holds locked (flock) while it lives. A
// run refuses a product that a living run beside it is writing, and removes the
// private folders that no living run holds (those of killed processes). Failures,
// exceptions and the signals that end a process remove the run's folders; during
// the renames those signals wait until every product is in place or put back.
#ifndef TOLVANE_GEO_PENDING_H
#define TOLVANE_GEO_PENDING_H

#include <string>
#include <vector>

#include <tolvane/geo.h>

namespace tolvane::geo {

class PendingFiles {
public:
    PendingFiles() = default;
    PendingFiles(const PendingFiles &) = delete;
    PendingFiles &operator=(const PendingFiles &) = delete;
    ~PendingFiles();
    // Checks that the folder of `final_name` exists and that no other run is
    // writing it, and returns the temporary name.
    std::string add(const std::string &final_name);
    // A second temporary name beside that of `final_name`, for a file the run needs
    // on the way (an intermediate of a COG): removed, never renamed.
    std::string scratch(const std::string &final_name, const std::string &suffix);
    // Syncs every temporary file and renames it to its final name, all or
    // nothing: a failed rename puts back the files that were there. The scratch
    // files go with the private folders.
    void commit();

private:
    struct File {
        std::string final_name, temporary;
        bool scratch = false;
    };
    struct Folder {
        std::string folder; // where the products go
        std::string path;   // the run's private folder in it
        int slot = -1;      // its slot for the signal handler; -1: none
        int fd = -1;        // open on the private folder, holding its lock
    };
    std::vector<File> files_;
    std::vector<Folder> folders_;
};

// Temporary names of the products; empty when not asked for.
struct ProductNames {
    std::string model, contours, hillshade, leaks, sinks;
};

// Takes a temporary name for every product asked for (checking its folder).
ProductNames pending_products(PendingFiles &files, const ProductRequest &p);

} // namespace tolvane::geo

#endif
