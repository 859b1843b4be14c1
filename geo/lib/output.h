// Writing the products: the elevation model in the type asked, the burned contour
// grid and the shaded relief. Every file is written under a temporary name beside
// its final one and renamed only when all of them are complete.
#ifndef TOLVANE_GEO_OUTPUT_H
#define TOLVANE_GEO_OUTPUT_H

#include "grid.h"
#include "options.h"

#include <string>
#include <vector>

#include <cpl_progress.h>
#include <tolvane/tolvane.h>

namespace geo {

// Temporary names of the files being written. The destructor removes whatever was
// not committed, so a failure leaves no partial file behind.
class PendingFiles {
public:
    PendingFiles() = default;
    PendingFiles(const PendingFiles &) = delete;
    PendingFiles &operator=(const PendingFiles &) = delete;
    ~PendingFiles();
    // Checks that the folder of `final_name` exists and returns the temporary name.
    std::string add(const std::string &final_name);
    // Renames every temporary file to its final name.
    void commit();

private:
    struct File {
        std::string final_name, temporary;
    };
    std::vector<File> files_;
};

// What the writing did that the user should know.
struct WriteReport {
    double nodata = 0;
    long long clamped = 0;        // cells outside the integer type, clamped
    long long nodata_in_data = 0; // cells whose altitude equals the nodata value
};

// Temporary names of the products; empty when not asked for.
struct ProductNames {
    std::string model, contours, hillshade;
};

// Writes the burned contours and the shaded relief when asked, then the model, to
// their temporary names. Throws Failure.
WriteReport write_products(const Options &options, const ContourGrid &contours, const tolvane::Result &result,
                           const ProductNames &names, GDALProgressFunc progress, void *progress_data);

} // namespace geo

#endif
