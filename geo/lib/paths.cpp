#include "paths.h"

#include "gdal_handles.h"

#include <cerrno>
#include <initializer_list>
#include <cstring>
#include <optional>
#include <utility>

#include <cpl_conv.h>
#include <cpl_string.h>
#include <gdal.h>
#include <sys/stat.h>

namespace tolvane::geo {

namespace {

// What a path is to the system: its device and inode, or for a file not yet
// there, those of its folder and its name.
struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    std::string name; // empty for an existing file
    bool operator==(const Identity &o) const { return device == o.device && inode == o.inode && name == o.name; }
};

std::optional<Identity> identity(const std::string &path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) == 0)
        return Identity{st.st_dev, st.st_ino, ""};
    const std::string folder = CPLGetPath(path.c_str());
    if (stat(folder.empty() ? "." : folder.c_str(), &st) != 0)
        return std::nullopt;
    return Identity{st.st_dev, st.st_ino, CPLGetFilename(path.c_str())};
}

} // namespace

const char *special_kind(const std::string &path)
{
    struct stat st {};
    if (path.rfind("/vsi", 0) == 0 || stat(path.c_str(), &st) != 0)
        return nullptr;
    return S_ISFIFO(st.st_mode)                        ? "a FIFO (named pipe)"
           : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "a device"
           : S_ISSOCK(st.st_mode)                       ? "a socket"
                                                        : nullptr;
}

void check_readable_kind(const std::string &path, const std::string &role)
{
    // One that is not there: GDAL says what is wrong with it.
    if (const char *kind = special_kind(path))
        throw Failure("cannot read " + role + " " + path + ": it is " + kind + ", not a file");
}

std::vector<std::string> files_of(const std::string &path)
{
    std::vector<std::string> files{path};
    CPLPushErrorHandler(CPLQuietErrorHandler);
    Dataset ds(GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr));
    CPLPopErrorHandler();
    if (ds) {
        char **list = GDALGetFileList(ds.get());
        for (char **f = list; f && *f; f++)
            files.emplace_back(*f);
        CSLDestroy(list);
    }
    return files;
}

void check_writable_kind(const std::string &path)
{
    // Writing into one would feed a reader or a device, or replace the system's
    // node (/dev/null, run as root) with a file.
    if (const char *kind = special_kind(path))
        throw Failure("cannot write " + path + ": it is " + kind + ", not a file");
}

void check_extension(const std::string &path, const char *format, std::initializer_list<const char *> extensions)
{
    const std::string extension = CPLGetExtension(path.c_str());
    if (extension.empty())
        return; // a bare name is the user's choice
    std::string wanted;
    for (const char *e : extensions) {
        if (EQUAL(extension.c_str(), e))
            return;
        wanted += std::string(wanted.empty() ? "." : " or .") + e;
    }
    throw Failure("cannot write " + path + ": it would be " + format + ", whose name ends in " + wanted);
}

void check_product_names(const ProductRequest &p)
{
    check_extension(p.output, p.format == "COG" ? "a Cloud Optimized GeoTIFF" : "a GeoTIFF", {"tif", "tiff"});
    for (const std::string *path : {&p.contours, &p.leaks})
        if (!path->empty())
            check_extension(*path, "a GeoTIFF", {"tif", "tiff"});
    if (!p.hillshade.empty())
        check_extension(p.hillshade, "a PNG image", {"png"});
    if (!p.sinks.empty())
        check_extension(p.sinks, "a GeoPackage", {"gpkg"});
}

void check_outputs_against(const ProductRequest &p, const std::vector<std::string> &inputs)
{
    struct Product {
        const char *key;
        std::string role;
        const std::string *path;
    };
    const Product products[] = {{"output", "the output", &p.output},
                                {"contours", named("contours"), &p.contours},
                                {"hillshade", named("hillshade"), &p.hillshade},
                                {"leaks", named("leaks"), &p.leaks},
                                {"sinks", named("sinks"), &p.sinks}};
    std::vector<std::pair<std::string, Identity>> seen;
    for (const auto &[key, role, path] : products) {
        if (path->empty())
            continue;
        const std::optional<Identity> id = identity(*path);
        if (!id)
            continue; // its folder is missing: check_products says so
        for (const std::string &input : inputs) {
            const std::optional<Identity> in = identity(input);
            if (in && in->name.empty() && *in == *id)
                throw Failure(role + " " + *path + " is the input " + input +
                                  (input == *path ? "" : " (the same file)") + ": choose another name for it",
                              key);
        }
        for (const auto &[earlier, other] : seen)
            if (other == *id)
                throw Failure("two products would be written to one file: " + earlier + " and " + role + " " + *path,
                              key);
        seen.emplace_back(role + " " + *path, *id);
    }
    // After the inputs: a product named as an input is told so first.
    check_product_names(p);
}

} // namespace tolvane::geo
