// The option table and the wording of the options a message names.
#include <tolvane/geo_options.h>

#include <gtest/gtest.h>

#include <set>

namespace {

namespace geo = tolvane::geo;

// No two options share a name in any front end, and each one's default is a value
// its own parser takes.
TEST(Options, NamesAreUniqueAndDefaultsParse)
{
    std::set<std::string> keys, flags, keywords, parameters;
    for (const geo::Option &o : geo::options()) {
        EXPECT_TRUE(keys.insert(o.key).second) << o.key;
        EXPECT_TRUE(!*o.flag || flags.insert(o.flag).second) << o.flag;
        EXPECT_TRUE(!*o.keyword || keywords.insert(o.keyword).second) << o.keyword;
        EXPECT_TRUE(!*o.parameter || parameters.insert(o.parameter).second) << o.parameter;
        EXPECT_TRUE(*o.flag || *o.keyword) << o.key << " is reachable from no front end";
        EXPECT_NE(std::string(o.help), "") << o.key;
        if (*o.default_value) {
            EXPECT_NO_THROW(geo::parse_settings({{o.key, {o.default_value}}})) << o.key;
        }
    }
}

TEST(Options, ParserChecksEveryValue)
{
    // {key, values, the key at fault, what() must hold}
    const struct {
        std::vector<geo::Setting> settings;
        const char *key, *message;
    } cases[] = {
        {{{"repair_gaps", {"nan"}}}, "repair_gaps", "-repair_gaps: 'nan' is not a number"},
        {{{"nodata", {"-inf"}}}, "nodata", "-a_nodata: '-inf' is not a number"},
        {{{"mask", {std::string("a\0b", 3)}}}, "mask", "-mask: 'a...' holds a NUL byte"},
        {{{"source", {std::string("a\0b", 3)}}}, "source", "INPUT: 'a...' holds a NUL byte"},
        {{{"resolution", {"10"}}}, "resolution", "-tr needs 2 values"},
        {{{"threads", {"257"}}}, "threads", "-threads: a whole number from 0 (the default) to 256"},
        {{{"oversample", {"0"}}}, "oversample", "-oversample: auto, or a whole number from 1 to 16"},
        {{{"dtype", {"Byte"}}}, "dtype", "-ot: 'Byte' is not Float32, Int32 or Int16"},
        {{{"z", {}}, {"attribute", {"h"}}}, "attribute", "-a and -z exclude each other"},
        {{{"colour", {"red"}}}, "", "unknown option colour"},
    };
    for (const auto &c : cases) {
        try {
            geo::parse_settings(c.settings);
            ADD_FAILURE() << c.message << ": accepted";
        } catch (const geo::UsageFailure &f) {
            EXPECT_EQ(f.what(), std::string(c.message));
            EXPECT_EQ(f.key(), c.key) << c.message;
        }
    }
    // Given again, an option takes its last values; a repeatable one adds them.
    const geo::Request r = geo::parse_settings({{"smoothing", {"3"}}, {"smoothing", {"5"}},
                                                {"creation_options", {"A=1"}}, {"creation_options", {"B=2"}}});
    EXPECT_EQ(r.core.smoothing, 5);
    EXPECT_EQ(r.product.creation_options, (std::vector<std::string>{"A=1", "B=2"}));
    EXPECT_EQ(geo::parse_settings({{"threads", {"0"}}, {"oversample", {"auto"}}}).core.oversample, 0);
}

TEST(Options, TokensAreWordedByEachFrontEnd)
{
    const std::string text = "no field 'h': choose one with " + geo::named("attribute") + ", or " + geo::named("z");
    EXPECT_EQ(geo::worded(text, geo::Naming::flag), "no field 'h': choose one with -a, or -z");
    EXPECT_EQ(geo::worded(text, geo::Naming::keyword), "no field 'h': choose one with attribute=, or z=");
    // QGIS has no parameter for -z: the tool's name stands.
    EXPECT_EQ(geo::worded(text, geo::Naming::parameter), "no field 'h': choose one with FIELD, or -z");
    EXPECT_EQ(geo::named_keys(text), (std::vector<std::string>{"attribute", "z"}));
    // A keyword heading a clause drops its "="; a key outside the table stays as it is.
    EXPECT_EQ(geo::worded(geo::named("dtype") + ": no", geo::Naming::keyword), "dtype: no");
    EXPECT_EQ(geo::worded(geo::named("colour") + " x", geo::Naming::flag), "colour x");
    EXPECT_EQ(geo::worded("plain", geo::Naming::parameter), "plain");

    const geo::Failure f(text);
    EXPECT_EQ(f.what(), geo::worded(text, geo::Naming::flag));
    EXPECT_EQ(f.text(), text);
    EXPECT_EQ(f.key(), "attribute");
    EXPECT_EQ(geo::Failure(text, "z").key(), "z");
    EXPECT_EQ(geo::Failure("interrupted").key(), "");
    EXPECT_EQ(geo::exact_text(0.1), "0.10000000000000001");
    EXPECT_EQ(geo::exact_text(10), "10");
}

} // namespace
