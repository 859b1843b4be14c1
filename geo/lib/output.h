// Writing the products: the elevation model in the type asked, the burned contour
// grid and the shaded relief. Every file is written under a temporary name beside
// its final one and renamed only when all of them are complete.
#ifndef TOLVANE_GEO_OUTPUT_H
#define TOLVANE_GEO_OUTPUT_H

#include <tolvane/geo.h>

#include <string>
#include <vector>


namespace tolvane::geo {

// Temporary names of the files being written, in a private folder of the run
// beside each destination. The destructor removes whatever was not committed (and
// a signal that ends the process does), so a failure leaves no partial file behind.
class PendingFiles {
public:
    PendingFiles() = default;
    PendingFiles(const PendingFiles &) = delete;
    PendingFiles &operator=(const PendingFiles &) = delete;
    ~PendingFiles();
    // Checks that the folder of `final_name` exists and returns the temporary name.
    std::string add(const std::string &final_name);
    // A second temporary name beside that of `final_name`, for a file the run needs
    // on the way (an intermediate of a COG): removed, never renamed.
    std::string scratch(const std::string &final_name, const std::string &suffix);
    // Renames every temporary file to its final name, all or nothing: a failed
    // rename puts back the files that were there. The scratch files go with the
    // private folders.
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
    };
    std::vector<File> files_;
    std::vector<Folder> folders_;
};

// Temporary names of the products; empty when not asked for.
struct ProductNames {
    std::string model, contours, hillshade, leaks;
};

// Takes a temporary name for every product asked for (checking its folder).
ProductNames pending_products(PendingFiles &files, const ProductRequest &p);

} // namespace tolvane::geo

#endif
