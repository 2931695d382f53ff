// The log's display filter: which rows each expression keeps, and the texts it
// refuses with their reasons.

#include "app/shell/LogFilter.h"

#include <gtest/gtest.h>

using tarvex::logfilter::Filter;
using tarvex::logfilter::RowFields;

namespace {

const std::string kCatalogHead =
    "MESSAGE sip:34020000002000000001@3402000000 SIP/2.0\r\nCall-ID: cat-1@10.0.0.2\r\nCSeq: 20 MESSAGE\r\n\r\n";
const std::string kCatalogBody =
    "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<Response>\r\n<CmdType>Catalog</CmdType>\r\n"
    "<DeviceID>34020000001320000001</DeviceID>\r\n<DeviceList Num=\"1\"><Item>"
    "<DeviceID>34020000001310000002</DeviceID><Name>大门</Name></Item></DeviceList>\r\n</Response>\r\n";
const std::string kKeepaliveBody =
    "<?xml version=\"1.0\"?>\r\n<Notify>\r\n<CmdType>Keepalive</CmdType>\r\n"
    "<DeviceID>34020000001320000009</DeviceID>\r\n</Notify>\r\n";
const std::string kOkHead = "SIP/2.0 200 OK\r\nCall-ID: cat-1@10.0.0.2\r\nCSeq: 20 MESSAGE\r\n\r\n";
const std::string kNotFoundHead = "SIP/2.0 404 Not Found\r\ni: inv-7\r\nCSeq: 1 INVITE\r\n\r\n";
const std::string kInviteHead = "INVITE sip:34020000001310000002@10.0.0.2 SIP/2.0\r\nCall-ID: inv-7\r\n\r\n";

// Rows: 0 received Catalog, 1 sent 200, 2 received keepalive of another
// device, 3 sent INVITE to a channel, 4 received 404.
const RowFields kRows[] = {
    {2, "34020000001320000001", kCatalogHead, kCatalogBody, "10.0.0.2:5060"},
    {1, "34020000001320000001", kOkHead, "", "10.0.0.2:5060"},
    {2, "34020000001320000009", kCatalogHead, kKeepaliveBody, "10.0.0.21:5070"},
    {1, "34020000001310000002", kInviteHead, "", "10.0.0.2:5062"},
    {2, "34020000001310000002", kNotFoundHead, "", ""},
};

std::string Kept(const std::string& text) {
    Filter f;
    std::string error;
    EXPECT_TRUE(f.Compile(text, &error)) << text << ": " << error;
    std::string kept;
    for (std::size_t i = 0; i < std::size(kRows); ++i)
        if (f.Matches(kRows[i])) kept += std::to_string(i);
    return kept;
}

} // namespace

TEST(LogFilter, WhichRowsEachExpressionKeeps) {
    const struct {
        const char* filter;
        const char* kept;
    } cases[] = {
        {"", "01234"},
        {"cmd==Catalog", "0"},
        {"cmd==catalog", "0"},
        {"cmd==Catalog && dev==34020000001320000001", "0"},
        {"cmd==Catalog && dev==34020000001320000009", ""},
        {"dev==34020000001310000002", "034"}, // the channel, named in the Catalog too
        {"dev~1310", "034"},
        {"dev!=34020000001320000001", "234"},
        {"method==MESSAGE", "02"},
        {"method==INVITE || status>=400", "34"},
        {"status==200", "1"},
        {"status<300", "1"},
        {"status!=200", "0234"}, // requests have no status: != keeps them
        {"dir==sent", "13"},
        {"dir==→", "13"},
        {"dir==received", "024"},
        {"dir==←", "024"},
        {"!cmd==Keepalive", "0134"},
        {"not cmd==Keepalive and dir==received", "04"},
        {"(cmd==Keepalive || status==404) && dir==received", "24"},
        {"callid==inv-7", "34"}, // "i:" is the compact Call-ID
        {"大门", "0"},
        {"\"Not Found\"", "4"},
        {"text contains 10.0.0.2", "0123"},
        {"cat-1", "012"},
        {"peer==10.0.0.2", "013"},        // the host alone: any of its ports
        {"peer==10.0.0.2:5060", "01"},
        {"peer!=10.0.0.2", "24"},
        {"peer~:5070", "2"},
        {"peer==10.0.0.21:5070 || peer==10.0.0.2:5062", "23"},
    };
    for (const auto& c : cases) EXPECT_EQ(Kept(c.filter), c.kept) << c.filter;
}

TEST(LogFilter, RefusedTextsSayWhyAndKeepTheFilterBefore) {
    const struct {
        const char* filter;
        const char* error;
    } cases[] = {
        {"cmd==", "\"cmd ==\" needs a value"},
        {"colour==red", "unknown field \"colour\" (dev, cmd, method, status, dir, callid, peer, text)"},
        {"status>=abc", "status takes a number, not \"abc\""},
        {"cmd>Catalog", "\">\" compares status codes only"},
        {"dir==up", "dir is sent or received, not \"up\""},
        {"(cmd==Catalog", "a \"(\" is not closed"},
        {"cmd==Catalog &&", "the filter ends too early"},
        {"\"open", "a quoted text has no closing \""},
        {"cmd==Catalog )", "unexpected \")\""},
    };
    for (const auto& c : cases) {
        Filter f;
        ASSERT_TRUE(f.Compile("dir==sent", nullptr));
        std::string error;
        EXPECT_FALSE(f.Compile(c.filter, &error)) << c.filter;
        EXPECT_EQ(error, c.error) << c.filter;
        EXPECT_TRUE(f.Matches(kRows[1]));
        EXPECT_FALSE(f.Matches(kRows[0])) << "the filter before stays: " << c.filter;
    }
}
