// Publishing several products: all of them or none, and an earlier file is put
// back when a later rename fails.
#include "output.h"
#include "run_tolvane.h"

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

TEST(PendingFiles, AFailedRenamePutsBackTheEarlierFiles)
{
    prueba::Carpeta folder;
    const fs::path a = folder.raiz() / "a.tif", b = folder.raiz() / "b.tif";
    prueba::escribe(a, "earlier a");
    {
        tolvane::geo::PendingFiles files;
        prueba::escribe(files.add(a.string()), "new a");
        prueba::escribe(files.add(b.string()), "new b");
        // A folder that is not empty now holds b's name: a is renamed first, then b fails.
        fs::create_directories(b / "inside");
        EXPECT_THROW(files.commit(), tolvane::geo::Failure);
    }
    EXPECT_EQ(prueba::lee(a), "earlier a");
    fs::remove_all(b);
    {
        tolvane::geo::PendingFiles files;
        prueba::escribe(files.add(a.string()), "new a");
        prueba::escribe(files.add(b.string()), "new b");
        files.commit();
    }
    EXPECT_EQ(prueba::lee(a), "new a");
    EXPECT_EQ(prueba::lee(b), "new b");
    // Neither the private folder nor the earlier a is left.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.raiz()), fs::directory_iterator()), 2);
}

} // namespace
