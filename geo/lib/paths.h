// The files of a run as the system sees them: inputs that are not files to read,
// and outputs that are inputs (or each other) under another name.
#ifndef TOLVANE_GEO_PATHS_H
#define TOLVANE_GEO_PATHS_H

#include <tolvane/geo.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace tolvane::geo {

// Refuses an input that is a FIFO, a device or a socket (reading one would wait
// for ever or read what is not a file); a folder passes, GDAL reads some as
// datasets. `role` names it in the message ("the lines", "the footprint").
void check_readable_kind(const std::string &path, const std::string &role);

// What `path` is when it is no file (through links): "a FIFO (named pipe)", "a
// device", "a socket"; null for a file, a folder or nothing.
const char *special_kind(const std::string &path);

// Refuses a product at a FIFO, a device or a socket (through links).
void check_writable_kind(const std::string &path);

// Refuses a product whose name ends in another format's extension (a GeoTIFF
// named out.png); a name without extension passes.
void check_extension(const std::string &path, const char *format, std::initializer_list<const char *> extensions);

// The extensions of every product of the request: .tif or .tiff for the model,
// -contours and -leaks, .png for -hillshade, .gpkg for -sinks.
void check_product_names(const ProductRequest &p);

// Refuses a request in which a product is the same file as one of `inputs` (every
// file of the datasets read, as GDAL lists them) or as another product, through
// links or other spellings of the path: same device and inode, or for a file not
// yet there, the same folder and name.
void check_outputs_against(const ProductRequest &product, const std::vector<std::string> &inputs);

// The files GDAL reads for the dataset at `path` (a Shapefile's .shp, .shx, .dbf
// and .prj...), with `path` itself; just `path` when GDAL cannot open it.
std::vector<std::string> files_of(const std::string &path);

} // namespace tolvane::geo

#endif
