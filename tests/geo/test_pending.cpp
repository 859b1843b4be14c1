// Publishing several products: all of them or none, and an earlier file is put
// back when a later rename fails.
#include "output.h"
#include "run_tolvane.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sys/stat.h>

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

namespace {

namespace fs = std::filesystem;
using tolvane::geo::Failure;
using tolvane::geo::PendingFiles;

std::string refusal(const std::function<void()> &f)
{
    try {
        f();
    } catch (const Failure &e) {
        return e.what();
    }
    return "";
}

std::vector<std::string> entries(const fs::path &folder)
{
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A product that a living run is writing is refused to a second one, in this
// process or another, until the first ends; another name in the same folder is
// not. The private folders no living run holds (a killed run's) go.
TEST(PendingFiles, OneRunAtATimeOnAProductAndLeftoversGo)
{
    prueba::Carpeta folder;
    const fs::path a = folder.raiz() / "a.tif", b = folder.raiz() / "b.tif";
    fs::create_directories(folder.raiz() / ".tolvane-dead01");
    prueba::escribe(folder.raiz() / ".tolvane-dead01" / "a.tif", std::string(1000, 'x'));
    {
        PendingFiles first;
        first.add(a.string());
        EXPECT_EQ(entries(folder.raiz()).size(), 1u) << "the dead run's folder is left";
        PendingFiles second;
        EXPECT_EQ(refusal([&] { second.add(a.string()); }),
                  "cannot write " + a.string() + ": another run is writing it; wait for it to end or choose another name");
        EXPECT_NO_THROW(second.add(b.string()));
    }
    EXPECT_TRUE(fs::is_empty(folder.raiz()));
    PendingFiles third;
    EXPECT_NO_THROW(third.add(a.string()));
}

// What stands at a final name when the commit comes: a FIFO put there during the
// run is refused and the earlier files are put back; a name claimed and never
// written publishes nothing.
TEST(PendingFiles, TheCommitRefusesWhatIsNoProduct)
{
    prueba::Carpeta folder;
    const fs::path a = folder.raiz() / "a.tif", b = folder.raiz() / "b.tif";
    prueba::escribe(a, "earlier a");
    {
        PendingFiles files;
        prueba::escribe(files.add(a.string()), "new a");
        prueba::escribe(files.add(b.string()), "new b");
        ASSERT_EQ(mkfifo(b.c_str(), 0600), 0);
        EXPECT_EQ(refusal([&] { files.commit(); }), "cannot write " + b.string() + ": it is a FIFO (named pipe), not a file");
    }
    EXPECT_EQ(prueba::lee(a), "earlier a");
    EXPECT_TRUE(fs::is_fifo(b));
    fs::remove(b);
    {
        PendingFiles files;
        prueba::escribe(files.add(a.string()), "new a");
        files.add(b.string());
        EXPECT_EQ(refusal([&] { files.commit(); }), "cannot write " + b.string() + ": nothing was written to it");
    }
    EXPECT_EQ(entries(folder.raiz()), std::vector<std::string>{"a.tif"});
    EXPECT_EQ(prueba::lee(a), "earlier a");
}

// A signal during the renames (each slowed down by strace) is held until every
// product is in place: the run ends with the signal, the three products are the
// new ones, and neither the private folder nor a kept file is left.
TEST(PendingFiles, ASignalDuringTheRenamesLeavesOneWholeSet)
{
    if (std::system("strace -V > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "no strace to slow the renames down";
    prueba::Carpeta folder;
    const fs::path root = folder.raiz() / "products";
    fs::create_directory(root);
    for (const char *name : {"m.tif", "c.tif", "h.png"})
        prueba::escribe(root / name, "earlier");
    const std::string script =
        "cd '" + root.string() + "' && { strace -f -qq -o ../trace -e trace=rename "
        "-e inject=rename:delay_exit=300000 sh -c 'echo $$ > ../pid; exec \"$0\" \"$@\"' '" TOLVANE_GEO_BIN
        "' -q -tr 5 5 -contours c.tif -hillshade h.png '" COLINAS_GPKG "' m.tif & "
        "for i in $(seq 4000); do grep -q 'rename(' ../trace 2> /dev/null && break; sleep 0.005; done; "
        "kill -TERM $(cat ../pid); wait $!; echo $? > ../status; }\n";
    prueba::escribe(root / ".." / "signal.sh", script);
    ASSERT_EQ(std::system(("bash '" + (root / ".." / "signal.sh").string() + "'").c_str()), 0);
    EXPECT_EQ(prueba::lee(root / ".." / "status"), "143\n");
    EXPECT_EQ(entries(root), (std::vector<std::string>{"c.tif", "h.png", "m.tif"}));
    for (const char *name : {"m.tif", "c.tif", "h.png"})
        EXPECT_NE(prueba::lee(root / name), "earlier") << name;
}

} // namespace
