#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "alloc_failure.h"
#include "elem_helpers.h"
#include "corvex/cx_elem.h"

namespace
{

using texts = std::vector<std::string>;

// The root a with x="1", a child b holding "t&u" and an empty child c.
elem_ptr sample_tree()
{
    elem_ptr a(cx_elem_create("a"));
    cx_elem_attr_set(a.get(), "x", "1");
    cx_elem_child_add_string(a.get(), "b", "t&u");
    cx_elem_child_add(a.get(), cx_elem_create("c"));
    return a;
}

std::vector<unsigned char> from_hex(const std::string &hex)
{
    std::vector<unsigned char> bytes;
    for (size_t k = 0; k + 1 < hex.size(); k += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(k, 2), nullptr, 16)));
    return bytes;
}

// The key stream under key, recovered from an encrypted run of 'A's.
std::vector<unsigned char> key_stream(const std::string &key, size_t length)
{
    elem_ptr parent(cx_elem_create("p"));
    cx_elem_t *child = cx_elem_child_add_encrypted(parent.get(), "v",
                                                   std::string(length, 'A').c_str(), key.c_str());
    EXPECT_NE(child, nullptr);
    std::vector<unsigned char> stream = from_hex(child->content);
    for (auto &byte : stream)
        byte ^= 'A';
    return stream;
}

struct stream_row {
    size_t offset;
    const char *bytes;
};

void expect_key_stream(const std::string &key, const std::vector<stream_row> &rows)
{
    std::vector<unsigned char> stream = key_stream(key, 4112);
    ASSERT_EQ(stream.size(), 4112u);
    for (const auto &row : rows) {
        std::vector<unsigned char> expected = from_hex(row.bytes);
        std::vector<unsigned char> got(stream.begin() + static_cast<long>(row.offset),
                                       stream.begin() + static_cast<long>(row.offset) + 16);
        EXPECT_EQ(got, expected) << "key stream at offset " << row.offset;
    }
}

std::string bytes_as_text(std::initializer_list<int> bytes)
{
    std::string text;
    for (int b : bytes)
        text.push_back(static_cast<char>(b));
    return text;
}

// A sink that accepts a fixed number of pieces and records them.
struct counting_sink {
    std::vector<std::string> pieces;
    size_t accept = SIZE_MAX;

    static int put(const char *piece, void *context)
    {
        auto *self = static_cast<counting_sink *>(context);
        if (self->pieces.size() >= self->accept)
            return 0;
        self->pieces.emplace_back(piece);
        return 1;
    }
    std::string joined() const
    {
        std::string out;
        for (const auto &p : pieces)
            out += p;
        return out;
    }
};

} // namespace

TEST(CxElem, CreateNamesAndMissingArguments)
{
    errno = 0;
    EXPECT_EQ(cx_elem_create(nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
    elem_ptr empty(cx_elem_create(""));
    ASSERT_NE(empty, nullptr);
    EXPECT_STREQ(empty->name, "");
    EXPECT_EQ(empty->content, nullptr);
    EXPECT_EQ(empty->attributes, nullptr);
    EXPECT_EQ(empty->first_child, nullptr);
    cx_elem_free(nullptr);

    cx_elem_t *e = empty.get();
    struct {
        bool failed;
        const char *what;
    } calls[] = {
        {cx_elem_set_content(nullptr, "t") == 0, "set_content element"},
        {cx_elem_set_content(e, nullptr) == 0, "set_content text"},
        {cx_elem_attr_set(e, nullptr, "v") == 0, "attr_set name"},
        {cx_elem_attr_set(e, "n", nullptr) == 0, "attr_set value"},
        {cx_elem_child_add(e, nullptr) == nullptr, "child_add child"},
        {cx_elem_child_add(e, e) == nullptr, "child_add itself"},
        {cx_elem_child_add_string(e, "n", nullptr) == nullptr, "add_string value"},
        {cx_elem_child_add_string(nullptr, "n", "v") == nullptr, "add_string parent"},
        {cx_elem_child_add_encrypted(e, nullptr, "v", nullptr) == nullptr, "encrypted name"},
        {cx_elem_child_add_encrypted(e, "n", "v", "") == nullptr, "encrypted empty key"},
        {cx_elem_child_get(e, nullptr) == nullptr, "child_get name"},
        {cx_elem_child_remove(nullptr, e) == nullptr, "child_remove parent"},
    };
    for (const auto &call : calls)
        EXPECT_TRUE(call.failed) << call.what;
    // Every refused call left the element untouched.
    EXPECT_EQ(e->first_child, nullptr);
    EXPECT_EQ(e->content, nullptr);
    EXPECT_EQ(e->attributes, nullptr);
    errno = 0;
    cx_elem_child_add_string(e, nullptr, "v");
    EXPECT_EQ(errno, EINVAL);
}

TEST(CxElem, ContentReplacesAndEmptyDiffersFromNone)
{
    elem_ptr e(cx_elem_create("x"));
    EXPECT_EQ(written(e.get(), -1), "<x/>");
    ASSERT_EQ(cx_elem_set_content(e.get(), ""), 1);
    EXPECT_EQ(written(e.get(), -1), "<x></x>");
    ASSERT_EQ(cx_elem_set_content(e.get(), "first"), 1);
    ASSERT_EQ(cx_elem_set_content(e.get(), "second"), 1);
    EXPECT_STREQ(e->content, "second");
    // Setting the content from itself copies before releasing.
    ASSERT_EQ(cx_elem_set_content(e.get(), e->content), 1);
    EXPECT_STREQ(e->content, "second");
}

TEST(CxElem, AttributeKeysIgnoreCaseAndKeepFirstSpelling)
{
    elem_ptr e(cx_elem_create("x"));
    ASSERT_EQ(cx_elem_attr_set(e.get(), "a", "1"), 1);
    ASSERT_EQ(cx_elem_attr_set(e.get(), "A", "2"), 1);
    EXPECT_EQ(attribute_pairs(e.get()), (texts{"a=2"}));
    EXPECT_STREQ(stab_get(e->attributes, "A"), "2");
}

TEST(CxElem, ChildLookupIsCaseSensitiveAndFirstWins)
{
    elem_ptr p(cx_elem_create("p"));
    cx_elem_t *x1 = cx_elem_child_add_string(p.get(), "x", "1");
    cx_elem_t *upper = cx_elem_child_add_string(p.get(), "X", "2");
    cx_elem_child_add_string(p.get(), "x", "3");
    EXPECT_EQ(cx_elem_child_get(p.get(), "x"), x1);
    EXPECT_EQ(cx_elem_child_get(p.get(), "X"), upper);
    errno = 0;
    EXPECT_EQ(cx_elem_child_get(p.get(), "y"), nullptr);
    EXPECT_EQ(errno, 0);
}

TEST(CxElem, RemovingChildrenKeepsTheListConsistent)
{
    elem_ptr p(cx_elem_create("p"));
    cx_elem_t *only = cx_elem_child_add(p.get(), cx_elem_create("only"));
    ASSERT_EQ(cx_elem_child_remove(p.get(), only), only);
    EXPECT_EQ(p->first_child, nullptr);
    EXPECT_EQ(p->last_child, nullptr);
    cx_elem_free(only);

    cx_elem_t *a = cx_elem_child_add(p.get(), cx_elem_create("a"));
    cx_elem_t *b = cx_elem_child_add(p.get(), cx_elem_create("b"));
    cx_elem_t *c = cx_elem_child_add(p.get(), cx_elem_create("c"));
    ASSERT_EQ(cx_elem_child_remove(p.get(), c), c);
    EXPECT_EQ(c->next_sibling, nullptr);
    EXPECT_EQ(p->last_child, b);
    cx_elem_child_add(p.get(), cx_elem_create("d"));
    EXPECT_EQ(child_names(p.get()), (texts{"a", "b", "d"}));

    ASSERT_EQ(cx_elem_child_remove(p.get(), a), a);
    EXPECT_EQ(p->first_child, b);
    cx_elem_free(a);

    // An element of another parent is not found; nothing changes.
    errno = 0;
    EXPECT_EQ(cx_elem_child_remove(p.get(), c), nullptr);
    cx_elem_t *grandchild = cx_elem_child_add(b, cx_elem_create("g"));
    EXPECT_EQ(cx_elem_child_remove(p.get(), grandchild), nullptr);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(child_names(p.get()), (texts{"b", "d"}));
    cx_elem_free(c);
}

TEST(CxElem, IterationVisitsChildrenInOrder)
{
    cx_elem_iter_t it = cx_elem_child_iter(nullptr);
    EXPECT_EQ(cx_elem_iter_next(&it), nullptr);
    EXPECT_EQ(cx_elem_iter_next(nullptr), nullptr);
    elem_ptr p(cx_elem_create("p"));
    it = cx_elem_child_iter(p.get());
    EXPECT_EQ(cx_elem_iter_next(&it), nullptr);
    for (const char *name : {"1", "2", "3"})
        cx_elem_child_add(p.get(), cx_elem_create(name));
    EXPECT_EQ(child_names(p.get()), (texts{"1", "2", "3"}));
}

TEST(CxElem, FreesDeepAndWideTrees)
{
    warm_up_allocator();
    long before = pool_live_blocks();
    // Deep enough that a recursive release would exhaust the stack.
    cx_elem_t *root = cx_elem_create("r");
    cx_elem_t *at = root;
    for (int depth = 0; depth < 200000; depth++)
        at = cx_elem_child_add(at, cx_elem_create("d"));
    for (int k = 0; k < 1000; k++)
        cx_elem_child_add_string(root, "w", "v");
    cx_elem_attr_set(at, "k", "v");
    cx_elem_free(root);
    EXPECT_EQ(pool_live_blocks(), before);
}

TEST(CxElem, EncryptionMatchesPublishedRc4Vectors)
{
    std::string key128 = bytes_as_text({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    expect_key_stream(key128, {
                                  {0, "9ac7cc9a609d1ef7b2932899cde41b97"},
                                  {16, "5248c4959014126a6e8a84f11d1a9e1c"},
                                  {240, "065902e4b620f6cc36c8589f66432f2b"},
                                  {256, "d39d566bc6bce3010768151549f3873f"},
                                  {496, "b6d1e6c4a5e4771cad79538df295fb11"},
                                  {512, "c68c1d5c559a974123df1dbc52a43b89"},
                                  {752, "c5ecf88de897fd57fed301701b82a259"},
                                  {768, "eccbe13de1fcc91c11a0b26c0bc8fa4d"},
                                  {1008, "e7a72574f8782ae26aabcf9ebcd66065"},
                                  {1024, "bdf0324e6083dcc6d3cedd3ca8c53c16"},
                                  {1520, "b40110c4190b5622a96116b0017ed297"},
                                  {1536, "ffa0b514647ec04f6306b892ae661181"},
                                  {2032, "d03d1bc03cd33d70dff9fa5d71963ebd"},
                                  {2048, "8a44126411eaa78bd51e8d87a8879bf5"},
                                  {3056, "fabeb76028ade2d0e48722e46c4615a3"},
                                  {3072, "c05d88abd50357f935a63c59ee537623"},
                                  {4080, "ff38265c1642c1abe8d3c2fe5e572bf8"},
                                  {4096, "a36a4c301ae8ac13610ccbc12256cacc"},
                              });
    // A short key and a long one exercise the wrap of the key schedule.
    expect_key_stream(bytes_as_text({1, 2, 3, 4, 5}), {{0, "b2396305f03dc027ccc3524a0a1118a8"},
                                                       {16, "6982944f18fc82d589c403a47a0d0919"},
                                                       {4096, "ff25b58995996707e51fbdf08b34d875"}});
    std::string key256;
    for (int b = 1; b <= 32; b++)
        key256.push_back(static_cast<char>(b));
    expect_key_stream(key256, {{0, "eaa6bd25880bf93d3f5d1e4ca2611d91"},
                               {16, "cfa45c9f7e714b54bdfa80027cb14380"},
                               {4096, "f3e4c0a2e02d1d01f7f0a74618af2b48"}});
}

TEST(CxElem, EncryptedValuesAreLowercaseHexOfTheValueLength)
{
    const std::string default_key = bytes_as_text({0x5a, 0x71, 0x33, 0x6e, 0x48, 0x62, 0x37, 0x77,
                                                   0x4b, 0x32, 0x05, 0x64, 0x52, 0x74, 0x39, 0x73});
    elem_ptr p(cx_elem_create("p"));
    cx_elem_t *plain = cx_elem_child_add_encrypted(p.get(), "v", "secret value", nullptr);
    cx_elem_t *again = cx_elem_child_add_encrypted(p.get(), "v", "secret value", nullptr);
    cx_elem_t *keyed =
        cx_elem_child_add_encrypted(p.get(), "v", "secret value", default_key.c_str());
    cx_elem_t *other = cx_elem_child_add_encrypted(p.get(), "v", "secret value", "other key");
    cx_elem_t *empty = cx_elem_child_add_encrypted(p.get(), "v", "", nullptr);
    ASSERT_TRUE(plain && again && keyed && other && empty);
    EXPECT_EQ(strlen(plain->content), 2 * strlen("secret value"));
    EXPECT_EQ(strspn(plain->content, "0123456789abcdef"), strlen(plain->content));
    EXPECT_STREQ(plain->content, again->content);
    EXPECT_STREQ(plain->content, keyed->content);
    EXPECT_STRNE(plain->content, other->content);
    ASSERT_NE(empty->content, nullptr);
    EXPECT_STREQ(empty->content, "");
    // Encrypting the encrypted bytes again gives the value back.
    std::vector<unsigned char> cipher = from_hex(plain->content);
    std::string cipher_text(cipher.begin(), cipher.end());
    ASSERT_EQ(cipher_text.find('\0'), std::string::npos);
    cx_elem_t *back = cx_elem_child_add_encrypted(p.get(), "v", cipher_text.c_str(), nullptr);
    std::vector<unsigned char> decrypted = from_hex(back->content);
    EXPECT_EQ(std::string(decrypted.begin(), decrypted.end()), "secret value");
}

TEST(CxElem, AllocationFailuresLeaveTheTreeAsItWas)
{
    elem_ptr e(cx_elem_create("e"));
    cx_elem_set_content(e.get(), "old");
    std::string long_value(80, 'v');
    cx_elem_attr_set(e.get(), "kept", "x"); // the long value then lives apart from its key
    cx_elem_attr_set(e.get(), "kept", long_value.c_str());
    std::string before = written(e.get(), -1);

    alloc_failure_sweep([&] {
        elem_ptr made(cx_elem_create("name"));
        return made != nullptr;
    });
    alloc_failure_sweep([&] {
        errno = 0;
        bool ok = cx_elem_set_content(e.get(), "new") == 1;
        if (!ok) {
            EXPECT_EQ(errno, ENOMEM);
            EXPECT_STREQ(e->content, "old");
        }
        return ok;
    });
    cx_elem_set_content(e.get(), "old");
    alloc_failure_sweep([&] {
        std::string value(90, 'w');
        bool ok = cx_elem_attr_set(e.get(), "KEPT", value.c_str()) == 1;
        EXPECT_STREQ(stab_get(e->attributes, "kept"), ok ? value.c_str() : long_value.c_str());
        return ok;
    });
    cx_elem_attr_set(e.get(), "kept", long_value.c_str());
    alloc_failure_sweep([&] {
        elem_ptr fresh(cx_elem_create("f"));
        return fresh &&
               cx_elem_attr_set(fresh.get(), std::string(40, 'n').c_str(), long_value.c_str()) == 1;
    });
    alloc_failure_sweep([&] {
        cx_elem_t *child = cx_elem_child_add_string(e.get(), "s", "value");
        if (child)
            cx_elem_free(cx_elem_child_remove(e.get(), child));
        return child != nullptr;
    });
    alloc_failure_sweep([&] {
        cx_elem_t *child = cx_elem_child_add_encrypted(e.get(), "s", "value", nullptr);
        if (child)
            cx_elem_free(cx_elem_child_remove(e.get(), child));
        return child != nullptr;
    });
    EXPECT_EQ(written(e.get(), -1), before);
}

TEST(CxElemWrite, CompactAndIndentedLayouts)
{
    elem_ptr a = sample_tree();
    EXPECT_EQ(written(a.get(), -1), "<a x=\"1\"><b>t&amp;u</b><c/></a>");
    EXPECT_EQ(written(a.get(), 0), "<a x=\"1\">\n"
                                   "        <b>t&amp;u</b>\n"
                                   "        <c/>\n"
                                   "</a>\n");
    char *text = cx_elem_to_string(a.get());
    EXPECT_STREQ(text, written(a.get(), 0).c_str());
    VV_FREE(text);
    EXPECT_EQ(written(a.get(), -1, "ns:"), "<ns:a ns:x=\"1\"><ns:b>t&amp;u</ns:b><ns:c/></ns:a>");
    EXPECT_EQ(written(a.get(), 4), "    <a x=\"1\">\n"
                                   "            <b>t&amp;u</b>\n"
                                   "            <c/>\n"
                                   "    </a>\n");

    // Content and children together: the content follows the start tag,
    // the end tag follows the last child's line end.
    cx_elem_set_content(a.get(), "text");
    EXPECT_EQ(written(a.get(), 0), "<a x=\"1\">text"
                                   "        <b>t&amp;u</b>\n"
                                   "        <c/>\n"
                                   "</a>\n");

    elem_ptr x(cx_elem_create("x"));
    cx_elem_attr_set(x.get(), "k", "v");
    EXPECT_EQ(written(x.get(), 0), "<x k=\"v\"/>\n");
    EXPECT_EQ(written(x.get(), -1), "<x k=\"v\"/>");
}

TEST(CxElemWrite, ContentIsEscapedAttributeValuesWhereTheyNeedIt)
{
    elem_ptr e(cx_elem_create("e"));
    cx_elem_set_content(e.get(), "\"&'<>\nline\t\xc3\xa9");
    EXPECT_EQ(written(e.get(), -1), "<e>&quot;&amp;&apos;&lt;&gt;\nline\t\xc3\xa9</e>");

    // Attribute values: "<", '"' and a stray "&" become entities; values
    // stored escaped, and every other byte, are written as they are.
    struct {
        const char *stored;
        const char *written;
    } const values[] = {
        {"plain value > 1 'quoted'\t\xc3\xa9", "plain value > 1 'quoted'\t\xc3\xa9"},
        {"Can&apos;t connect", "Can&apos;t connect"},
        {"&amp;&lt;&gt;&quot;&apos;", "&amp;&lt;&gt;&quot;&apos;"},
        {"&#38;&#x26;&#X26;&#9;&#x10FFFF;", "&#38;&#x26;&amp;#X26;&#9;&#x10FFFF;"},
        {"Volume \"vol0\" not found", "Volume &quot;vol0&quot; not found"},
        {"<\"raw\">", "&lt;&quot;raw&quot;>"},
        {"x & y", "x &amp; y"},
        {"&", "&amp;"},
        {"&amp", "&amp;amp"},
        {"&foo;", "&amp;foo;"},
        {"&#;&#x;&#0;&#8;&#xD800;&#xFFFE;&#x110000;&#99999999999;",
         "&amp;#;&amp;#x;&amp;#0;&amp;#8;&amp;#xD800;&amp;#xFFFE;&amp;#x110000;&amp;#99999999999;"},
        {"&#12a;", "&amp;#12a;"},
    };
    for (const auto &v : values) {
        elem_ptr a(cx_elem_create("a"));
        cx_elem_attr_set(a.get(), "v", v.stored);
        EXPECT_EQ(written(a.get(), -1), std::string("<a v=\"") + v.written + "\"/>") << v.stored;
        // Without escaping, values are written as stored.
        counting_sink raw;
        ASSERT_EQ(cx_elem_write(a.get(), -1, "", counting_sink::put, &raw, 0), 1);
        EXPECT_EQ(raw.joined(), std::string("<a v=\"") + v.stored + "\"/>");
    }
}

TEST(CxElemWrite, CallersSinksGetTheSamePiecesAsEver)
{
    // Names, the prefix and markup whole; contents and indentation one byte
    // a piece; a value without anything to escape whole.
    elem_ptr a = sample_tree();
    cx_elem_set_content(a->first_child->next_sibling, "");
    counting_sink sink;
    ASSERT_EQ(cx_elem_write(a.get(), 2, "p:", counting_sink::put, &sink, 1), 1);
    EXPECT_EQ(sink.pieces,
              (texts{" ", " ",  "<",     "p:", "a",  " ",  "p:", "x",  "=\"", "1", "\"", ">",  "\n",
                     " ", " ",  " ",     " ",  " ",  " ",  " ",  " ",  " ",   " ", "<",  "p:", "b",
                     ">", "t",  "&amp;", "u",  "</", "p:", "b",  ">",  "\n",  " ", " ",  " ",  " ",
                     " ", " ",  " ",     " ",  " ",  " ",  "<",  "p:", "c",   ">", "</", "p:", "c",
                     ">", "\n", " ",     " ",  "</", "p:", "a",  ">",  "\n"}));
}

TEST(CxElemWrite, EveryNegativeLevelIsCompact)
{
    elem_ptr a = sample_tree();
    const std::string compact = "<a x=\"1\"><b>t&amp;u</b><c/></a>";
    for (int level : {-1, -8, -9, -100, INT_MIN}) {
        EXPECT_EQ(written(a.get(), level), compact) << level;
        EXPECT_EQ(written(a.get(), level, "n:"), "<n:a n:x=\"1\"><n:b>t&amp;u</n:b><n:c/></n:a>");
    }
}

TEST(CxElemWrite, AttributesFollowTheTableOrder)
{
    elem_ptr results(cx_elem_create("results"));
    cx_elem_attr_set(results.get(), "status", "failed");
    cx_elem_attr_set(results.get(), "reason", "r");
    cx_elem_attr_set(results.get(), "errno", "13001");
    EXPECT_EQ(written(results.get(), 0),
              "<results reason=\"r\" status=\"failed\" errno=\"13001\"/>\n");
    elem_ptr envelope(cx_elem_create("corvex"));
    cx_elem_attr_set(envelope.get(), "version", "1.3");
    cx_elem_attr_set(envelope.get(), "xmlns", "urn:x");
    EXPECT_EQ(written(envelope.get(), -1), "<corvex xmlns=\"urn:x\" version=\"1.3\"/>");
}

TEST(CxElemWrite, DeepTreesIndentEightSpacesPerLevel)
{
    elem_ptr root(cx_elem_create("n"));
    cx_elem_t *at = root.get();
    for (int depth = 1; depth < 30; depth++)
        at = cx_elem_child_add(at, cx_elem_create("n"));
    cx_elem_set_content(at, "leaf");
    std::string expected;
    for (int depth = 0; depth < 29; depth++)
        expected += std::string(8 * depth, ' ') + "<n>\n";
    expected += std::string(8 * 29, ' ') + "<n>leaf</n>\n";
    for (int depth = 28; depth >= 0; depth--)
        expected += std::string(8 * depth, ' ') + "</n>\n";
    EXPECT_EQ(written(root.get(), 0), expected);
}

TEST(CxElemWrite, SinkRefusalStopsTheWriter)
{
    elem_ptr a = sample_tree();
    counting_sink all;
    ASSERT_EQ(cx_elem_write(a.get(), -1, "", counting_sink::put, &all, 1), 1);
    for (size_t accept = 0; accept < all.pieces.size(); accept++) {
        counting_sink partial;
        partial.accept = accept;
        EXPECT_EQ(cx_elem_write(a.get(), -1, "", counting_sink::put, &partial, 1), 0);
        EXPECT_EQ(partial.pieces.size(), accept);
    }
    errno = 0;
    EXPECT_EQ(cx_elem_write(a.get(), 0, nullptr, counting_sink::put, &all, 1), 0);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(cx_elem_sprintf(a.get(), 0, nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(cx_elem_to_string(nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);

    cx_xml_sink_t builder = {nullptr, 0, 0};
    EXPECT_EQ(cx_xml_sink_append(nullptr, &builder), 0);
    EXPECT_EQ(cx_xml_sink_append("abc", &builder), 1);
    EXPECT_EQ(cx_xml_sink_append("", &builder), 1);
    EXPECT_EQ(cx_xml_sink_append("de", &builder), 1);
    EXPECT_STREQ(builder.buffer, "abcde");
    EXPECT_EQ(builder.length, 5u);
    VV_FREE(builder.buffer);
}

TEST(CxElemWrite, AllocationFailuresGiveNullAndLeakNothing)
{
    elem_ptr a = sample_tree();
    cx_elem_attr_set(a.get(), "long", std::string(100, 'l').c_str());
    cx_elem_child_add_string(a->first_child, "deeper", std::string(300, 'c').c_str());
    std::string expected = written(a.get(), 0);
    auto runs = alloc_failure_sweep([&] {
        errno = 0;
        char *text = cx_elem_to_string(a.get());
        if (!text) {
            EXPECT_EQ(errno, ENOMEM);
            return false;
        }
        EXPECT_EQ(text, expected);
        VV_FREE(text);
        return true;
    });
    EXPECT_GT(runs.failing_runs, 0);
}

namespace
{

// A tree of every shape the writer meets: nested and mixed content, empty
// content, attributes with values that need entities and values that hold
// references, and (when big) text runs longer than a stream's buffer.
elem_ptr varied_tree(unsigned seed, bool big)
{
    std::mt19937 random(seed);
    const char *texts_pool[] = {"plain",      "a&b<c>\"d'e",  "", "\xc3\xa9t\xc3\xa9", "line\nline",
                                "Can&apos;t", "&#38; &foo; &"};
    auto pick = [&] { return texts_pool[random() % std::size(texts_pool)]; };
    elem_ptr root(cx_elem_create("root"));
    std::vector<cx_elem_t *> open{root.get()};
    for (int k = 0; k < 300; k++) {
        cx_elem_t *parent = open[random() % open.size()];
        cx_elem_t *child =
            cx_elem_child_add(parent, cx_elem_create(("e" + std::to_string(k % 7)).c_str()));
        if (random() % 3 == 0)
            cx_elem_attr_set(child, "k", pick());
        if (random() % 4 == 0)
            cx_elem_attr_set(child, "other", pick());
        if (random() % 2)
            cx_elem_set_content(child, pick());
        if (open.size() < 8 && random() % 3 == 0)
            open.push_back(child);
    }
    if (big) {
        cx_elem_child_add_string(root.get(), "huge", std::string(200000, 'h').c_str());
        cx_elem_child_add_string(root.get(), "escaped", std::string(100000, '<').c_str());
    }
    return root;
}

std::string file_text(FILE *f)
{
    std::string text;
    rewind(f);
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
        text.append(buffer, n);
    return text;
}

} // namespace

TEST(CxElemWrite, PiecesTextAndStreamAgree)
{
    for (unsigned seed : {1u, 2u, 3u}) {
        elem_ptr tree = varied_tree(seed, seed == 3);
        for (int level : {0, 5, -1}) {
            for (const char *prefix : {"", "ns:"}) {
                counting_sink pieces;
                ASSERT_EQ(cx_elem_write(tree.get(), level, prefix, counting_sink::put, &pieces, 1),
                          1);
                std::string text = written(tree.get(), level, prefix);
                EXPECT_EQ(text, pieces.joined()) << seed << " " << level << " " << prefix;

                FILE *f = tmpfile();
                ASSERT_NE(f, nullptr);
                cx_xml_stream_t stream;
                ASSERT_EQ(cx_xml_stream_open(&stream, f), 1);
                EXPECT_EQ(cx_xml_stream_write(&stream, "[", 1), 1);
                EXPECT_EQ(cx_elem_write_stream(tree.get(), level, prefix, &stream), 1);
                EXPECT_EQ(cx_xml_stream_write(&stream, "]", 1), 1);
                EXPECT_EQ(cx_xml_stream_close(&stream), 1);
                EXPECT_EQ(file_text(f), "[" + text + "]");
                fclose(f);
            }
        }
    }
}

TEST(CxElemWrite, StreamFailuresAreReported)
{
    elem_ptr tree = varied_tree(3, true);
    // A full device: the first write out fails, and every later one the same way.
    FILE *full = fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    cx_xml_stream_t stream;
    ASSERT_EQ(cx_xml_stream_open(&stream, full), 1);
    errno = 0;
    EXPECT_EQ(cx_elem_write_stream(tree.get(), 0, "", &stream), 0);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(cx_xml_stream_write(&stream, "x", 1), 0);
    errno = 0;
    EXPECT_EQ(cx_xml_stream_close(&stream), 0);
    EXPECT_EQ(errno, ENOSPC);
    // A small tree fails only when flushed, at the close.
    ASSERT_EQ(cx_xml_stream_open(&stream, full), 1);
    EXPECT_EQ(cx_elem_write_stream(sample_tree().get(), 0, "", &stream), 1);
    EXPECT_EQ(cx_xml_stream_close(&stream), 0);
    EXPECT_EQ(errno, ENOSPC);
    fclose(full);

    // Not open, or no memory for the buffer: nothing is written.
    errno = 0;
    EXPECT_EQ(cx_elem_write_stream(tree.get(), 0, "", &stream), 0);
    EXPECT_EQ(errno, EINVAL);
    FILE *f = tmpfile();
    alloc_failure_sweep([&] {
        cx_xml_stream_t s;
        if (!cx_xml_stream_open(&s, f)) {
            EXPECT_EQ(errno, ENOMEM);
            EXPECT_EQ(s.buffer, nullptr);
            return false;
        }
        bool ok = cx_elem_write_stream(tree.get(), -1, "", &s) == 1;
        return cx_xml_stream_close(&s) == 1 && ok;
    });
    fclose(f);
}
