#include "manscdp/xml/XMLNode.h"

#include "XmlDump.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <random>

namespace {

XMLNode ParseWith(const std::string& text, int expectedOutcome) {
    int outcome = -1;
    XMLNode n = XMLNode::Parse(text, &outcome);
    EXPECT_EQ(outcome, expectedOutcome) << text.substr(0, 200);
    return n;
}

} // namespace

TEST(XmlParse, DeclarationHoldsTheDocumentElement) {
    XMLNode x = ParseWith(
        "<?xml version=\"1.0\"?>\r\n<Response><CmdType>Catalog</CmdType></Response>", XML_OK);
    ASSERT_FALSE(x.IsEmpty());
    EXPECT_STREQ(x.Name(), "xml");
    EXPECT_TRUE(x.IsDeclaration());
    ASSERT_EQ(x.AttributeCount(), 1);
    EXPECT_STREQ(x.Attribute(0)->Name(), "version");
    EXPECT_STREQ(x.Attribute(0)->Value(), "1.0");
    ASSERT_EQ(x.ChildCount(), 1);
    EXPECT_STREQ(x.ChildAt(0).Name(), "Response");
    EXPECT_STREQ(x.FindText("CmdType"), "Catalog");
    EXPECT_STREQ(x.FindText("cmdtype"), "Catalog");
    EXPECT_EQ(x.FindText("SN"), nullptr);
    EXPECT_TRUE(x.Parent().IsEmpty()); // the unnamed top node is gone
}

TEST(XmlParse, WithoutDeclarationTheDocumentElementIsReturned) {
    XMLNode r = ParseWith("<Query><CmdType>Catalog</CmdType><SN>10</SN></Query>", XML_OK);
    EXPECT_STREQ(r.Name(), "Query");
    EXPECT_EQ(r.ChildCount(), 2);
    EXPECT_FALSE(r.IsDeclaration());
}

TEST(XmlParse, UnquotedValuesAndAttributesWithoutValue) {
    XMLNode r = ParseWith("<?xml version=1.0?><List Num=2 checked x='a&amp;b'/>", XML_OK);
    EXPECT_STREQ(r.AttributeValue("version"), "1.0"); // the closing '?' is not part of it
    XMLNode l = r.ChildAt(0);
    ASSERT_EQ(l.AttributeCount(), 3);
    EXPECT_STREQ(l.AttributeValue("num"), "2");
    EXPECT_STREQ(l.Attribute(1)->Name(), "checked");
    EXPECT_EQ(l.Attribute(1)->Value(), nullptr);
    EXPECT_STREQ(l.Attribute(2)->Value(), "a&b");
}

TEST(XmlParse, MissingEndTagKeepsTheTree) {
    XMLNode r = ParseWith("<Response><Item>x</Response>", XML_MISSING_END_TAG);
    ASSERT_STREQ(r.Name(), "Response");
    ASSERT_EQ(r.ChildCount(), 1);
    EXPECT_STREQ(r.ChildAt(0).Text(0), "x");
    // Unclosed at the end of input: outcome 1 as well.
    XMLNode u = ParseWith("<a><b>t", XML_MISSING_END_TAG);
    EXPECT_STREQ(u.FindText("b"), "t");
}

TEST(XmlParse, RefusedDocumentsGiveTheEmptyHandle) {
    EXPECT_TRUE(ParseWith("<Response><Item>x</Item></Item>", XML_UNMATCHED_END_TAG).IsEmpty());
    EXPECT_TRUE(ParseWith("<Response>x</Item>", XML_UNMATCHED_END_TAG).IsEmpty());
    EXPECT_TRUE(ParseWith("</a>", XML_UNMATCHED_END_TAG).IsEmpty());
    EXPECT_STREQ(ParseWith("<a>< b/></a>", XML_OK).ChildAt(0).Name(), "b"); // blanks skipped
    EXPECT_TRUE(ParseWith("<a><>x</a>", XML_MISSING_TAG_NAME).IsEmpty());
    EXPECT_TRUE(ParseWith("<a>x</>", XML_MISSING_END_TAG_NAME).IsEmpty());
    EXPECT_TRUE(ParseWith("<a>x</a", XML_MISSING_END_TAG_NAME).IsEmpty());
    EXPECT_TRUE(ParseWith("<a>x</a b>", XML_MISSING_END_TAG_NAME).IsEmpty());
    EXPECT_TRUE(ParseWith("<a x=\"1\" = >", XML_UNEXPECTED_TOKEN).IsEmpty());
    EXPECT_TRUE(ParseWith("<a \"v\">", XML_UNEXPECTED_TOKEN).IsEmpty());
    EXPECT_TRUE(ParseWith("<a <b>", XML_UNEXPECTED_TOKEN).IsEmpty());
    EXPECT_TRUE(ParseWith("<a x", XML_UNEXPECTED_TOKEN).IsEmpty());
    EXPECT_TRUE(ParseWith("<a>x<![CDATA[never closed</a>", XML_SECTION_NOT_CLOSED).IsEmpty());
    EXPECT_TRUE(ParseWith("<a>x<!-- never closed", XML_SECTION_NOT_CLOSED).IsEmpty());
}

TEST(XmlParse, NoElement) {
    XMLNode t = ParseWith("just words", XML_NO_ELEMENT);
    ASSERT_FALSE(t.IsEmpty());
    EXPECT_FALSE(t.HasName());
    EXPECT_STREQ(t.Name(), "");
    EXPECT_STREQ(t.Text(0), "just words");
    EXPECT_EQ(ParseWith("", XML_NO_ELEMENT).ContentCount(), 0);
    int outcome = -1;
    EXPECT_TRUE(XMLNode::Parse(static_cast<const char*>(nullptr), &outcome).IsEmpty());
}

TEST(XmlParse, SeveralTopElementsStayUnderTheUnnamedTop) {
    XMLNode t = ParseWith("<!-- c --><a/><b/>", XML_OK);
    EXPECT_FALSE(t.HasName());
    EXPECT_EQ(t.ChildCount(), 2);
    EXPECT_EQ(t.SectionCount(), 1);
}

TEST(XmlParse, Entities) {
    EXPECT_STREQ(ParseWith("<a>x &AMP; y &lt;&GT;&quot;&apos;</a>", XML_OK).Text(0), "x & y <>\"'");
    EXPECT_STREQ(ParseWith("<a>&#65;&#x42;&#X63;&#255;</a>", XML_OK).Text(0), "ABc\xFF");
    EXPECT_TRUE(ParseWith("<a>fish & chips</a>", XML_UNDEFINED_ENTITY).IsEmpty());
    EXPECT_TRUE(ParseWith("<a>&nbsp;</a>", XML_UNDEFINED_ENTITY).IsEmpty());
    EXPECT_TRUE(ParseWith("<a>&#300;</a>", XML_CHAR_ABOVE_255).IsEmpty());
    EXPECT_TRUE(ParseWith("<a>&#99999999999999999999;</a>", XML_CHAR_ABOVE_255).IsEmpty());
    EXPECT_TRUE(ParseWith("<a>&#12a;</a>", XML_UNDEFINED_ENTITY).IsEmpty());
    EXPECT_TRUE(ParseWith("<a>&#12</a>", XML_UNDEFINED_ENTITY).IsEmpty());
    EXPECT_TRUE(ParseWith("<a>&#;</a>", XML_UNDEFINED_ENTITY).IsEmpty());
    EXPECT_TRUE(ParseWith("<a>&#0;</a>", XML_UNDEFINED_ENTITY).IsEmpty());
    EXPECT_TRUE(ParseWith("<a v='&bogus;'/>", XML_UNDEFINED_ENTITY).IsEmpty());
    // Names are not decoded.
    EXPECT_STREQ(ParseWith("<a&amp;b/>", XML_OK).Name(), "a&amp;b");
}

TEST(XmlParse, TextsAreTrimmedAndCommentsJoinThem) {
    XMLNode a = ParseWith("<a>  \r\n\t padded text \n </a>", XML_OK);
    EXPECT_STREQ(a.Text(0), "padded text");
    XMLNode blank = ParseWith("<a> \r\n </a>", XML_OK);
    EXPECT_EQ(blank.TextCount(), 0);
    EXPECT_EQ(blank.Serialize(), "<a/>\r\n");
    XMLNode j = ParseWith("<a>one <!-- note --> two</a>", XML_OK);
    ASSERT_EQ(j.TextCount(), 1);
    EXPECT_STREQ(j.Text(0), "onetwo");
    EXPECT_EQ(j.SectionCount(), 0);
    EXPECT_EQ(j.ContentCount(), 1);
    // A comment that does not stand between two texts stays.
    XMLNode k = ParseWith("<a><!-- lead -->text<b/><!--tail--></a>", XML_OK);
    EXPECT_EQ(k.SectionCount(), 2);
    EXPECT_EQ(Dump(k), "a{[<!-- lead -->];\"text\";b{};[<!--tail-->];}");
    // A CDATA section between texts does not join them.
    XMLNode c = ParseWith("<a>x<![CDATA[ y ]]>z</a>", XML_OK);
    EXPECT_EQ(c.TextCount(), 2);
    EXPECT_STREQ(c.Section(0)->Content(), " y ");
}

TEST(XmlParse, Sections) {
    XMLNode a = ParseWith("<a><![CDATA[]]><PRE> <b>raw</b> </PRE><![CDATA[<x>&]]></a>", XML_OK);
    ASSERT_EQ(a.SectionCount(), 3);
    EXPECT_EQ(a.Section(0)->Content(), nullptr);
    EXPECT_STREQ(a.Section(1)->openTag, "<PRE>");
    EXPECT_STREQ(a.Section(1)->Content(), " <b>raw</b> ");
    EXPECT_STREQ(a.Section(2)->Content(), "<x>&");
    EXPECT_EQ(a.ChildCount(), 0);
    // "<pre>" in lower case is an element, not a section.
    EXPECT_EQ(ParseWith("<a><pre>t</pre></a>", XML_OK).ChildCount(), 1);
}

TEST(XmlParse, DoctypeWithAndWithoutInternalSubset) {
    XMLNode s = ParseWith("<!DOCTYPE note><note>n</note>", XML_OK);
    ASSERT_EQ(s.SectionCount(), 1);
    EXPECT_STREQ(s.Section(0)->Content(), " note");
    EXPECT_STREQ(s.Section(0)->closeTag, ">");
    XMLNode i = ParseWith("<!DOCTYPE note [<!ENTITY x \"y\"> <!ELEMENT note ANY>]><note/>", XML_OK);
    ASSERT_EQ(i.SectionCount(), 1);
    EXPECT_STREQ(i.Section(0)->Content(), " note [<!ENTITY x \"y\"> <!ELEMENT note ANY>");
    EXPECT_STREQ(i.Section(0)->closeTag, "]>");
    EXPECT_EQ(i.ChildCount(), 1);
    EXPECT_TRUE(ParseWith("<!DOCTYPE a [<!ENTITY x> <a/>", XML_SECTION_NOT_CLOSED).IsEmpty());
}

TEST(XmlParse, DeclarationBelowTheDocumentElementClosesAtOnce) {
    XMLNode r = ParseWith("<a><?pi x=\"1\"?><b/></a>", XML_OK);
    ASSERT_EQ(r.ChildCount(), 2);
    EXPECT_TRUE(r.ChildAt(0).IsDeclaration());
    EXPECT_STREQ(r.ChildAt(0).Name(), "pi");
    EXPECT_EQ(r.ChildAt(0).ChildCount(), 0);
    EXPECT_STREQ(r.ChildAt(1).Name(), "b");
}

TEST(XmlParse, QuotedTextFallsBackToPlainText) {
    XMLNode a = ParseWith("<a>it's <b>x</b> \"q>\" done</a>", XML_OK);
    EXPECT_STREQ(a.Text(0), "it's");
    EXPECT_STREQ(a.Text(1), "\"q>\" done");
    // An attribute value whose quote is never closed is read as plain text.
    XMLNode b = ParseWith("<a v=\"x><c/></a>", XML_OK);
    EXPECT_STREQ(b.AttributeValue("v"), "\"x");
    EXPECT_EQ(b.ChildCount(), 1);
}

TEST(XmlParse, EndTagNamesMatchIgnoringCase) {
    XMLNode r = ParseWith("<Response><cmdtype>Catalog</CMDTYPE></response>", XML_OK);
    EXPECT_STREQ(r.FindText("CmdType"), "Catalog");
}

TEST(XmlParse, Utf8AndGbkBytesPassThrough) {
    const std::string utf8 = "<Name>\xE5\x8F\xB7\xE6\x91\x84</Name>";
    EXPECT_STREQ(ParseWith(utf8, XML_OK).Text(0), "\xE5\x8F\xB7\xE6\x91\x84");
    // GBK "1号" ends in C5, a UTF-8 lead byte: the following "<" must stay markup.
    XMLNode g = ParseWith("<a><Name>1\xBA\xC5</Name><Status>ON</Status></a>", XML_OK);
    EXPECT_STREQ(g.FindText("Name"), "1\xBA\xC5");
    EXPECT_STREQ(g.FindText("Status"), "ON");
    XMLNode f = ParseWith("<a v=\"\xF0\">\xE0</a>", XML_OK);
    EXPECT_STREQ(f.AttributeValue("v"), "\xF0");
    EXPECT_STREQ(f.Text(0), "\xE0");
}

TEST(XmlBadInput, NulBytesEndTheDocument) {
    const std::string s("<a>x\0</a><b/>", 13);
    XMLNode a = ParseWith(s, XML_MISSING_END_TAG);
    EXPECT_STREQ(a.Text(0), "x");
    const std::string cut("<a v=\"\xE6\0\">", 10);
    EXPECT_TRUE(ParseWith(cut, XML_UNEXPECTED_TOKEN).IsEmpty());
    const std::string lead("<a>\xF0\0\x80\x80</a>", 11);
    EXPECT_STREQ(ParseWith(lead, XML_MISSING_END_TAG).Text(0), "\xF0");
}

TEST(XmlBadInput, DeepNestingIsBounded) {
    std::string deep;
    for (int i = 0; i < 10000; ++i)
        deep += "<e>";
    EXPECT_TRUE(ParseWith(deep, XML_TOO_DEEP).IsEmpty());
    std::string closed = deep;
    for (int i = 0; i < 10000; ++i)
        closed += "</e>";
    EXPECT_TRUE(ParseWith(closed, XML_TOO_DEEP).IsEmpty());
    // Right at the bound it still parses.
    std::string ok;
    for (int i = 0; i < XMLNode::kMaxDepth; ++i)
        ok += "<e>";
    ok += "leaf";
    for (int i = 0; i < XMLNode::kMaxDepth; ++i)
        ok += "</e>";
    XMLNode n = ParseWith(ok, XML_OK);
    EXPECT_STREQ(n.FindText("e"), "");
    int depth = 0;
    for (XMLNode c = n; !c.IsEmpty(); c = c.ChildAt(0))
        ++depth;
    EXPECT_EQ(depth, XMLNode::kMaxDepth);
    EXPECT_EQ(XMLNode::Parse(n.Serialize()).Serialize(), n.Serialize());
}

TEST(XmlBadInput, MegabyteText) {
    const std::string big(1 << 20, 'x');
    XMLNode n = ParseWith("<a>" + big + "</a>", XML_OK);
    EXPECT_EQ(std::string(n.Text(0)).size(), big.size());
    XMLNode u = ParseWith("<a>" + big, XML_MISSING_END_TAG);
    EXPECT_EQ(std::string(u.Text(0)).size(), big.size());
    EXPECT_TRUE(ParseWith("<a><!--" + big, XML_SECTION_NOT_CLOSED).IsEmpty());
    XMLNode attr = ParseWith("<a v=\"" + big + "\"/>", XML_OK);
    EXPECT_EQ(std::string(attr.AttributeValue("v")).size(), big.size());
}

TEST(XmlBadInput, RandomBytesAndMutationsNeverBreakTheParser) {
    std::mt19937 rng(28181);
    const std::string seed = "<?xml version=\"1.0\"?><Response a='1' b=2 c><CmdType>Catalog"
                             "</CmdType><!-- c --><DeviceList Num=\"1\"><Item><![CDATA[x]]>"
                             "&amp;&#65;</Item></DeviceList><?pi?><!DOCTYPE [<x>]></Response>";
    const std::string alphabet = "<>/?!=\"'&#;[]-xX0aA \r\n\xE6\xB0\x80\xFF";
    for (int round = 0; round < 20000; ++round) {
        std::string s = seed;
        const int edits = 1 + static_cast<int>(rng() % 8);
        for (int e = 0; e < edits; ++e) {
            const std::size_t at = rng() % (s.size() + 1);
            switch (rng() % 3) {
            case 0:
                s.insert(at, 1, alphabet[rng() % alphabet.size()]);
                break;
            case 1:
                if (at < s.size()) s.erase(at, 1 + rng() % 4);
                break;
            default:
                if (at < s.size()) s[at] = alphabet[rng() % alphabet.size()];
                break;
            }
        }
        int outcome = -1;
        XMLNode n = XMLNode::Parse(s, &outcome);
        ASSERT_TRUE(outcome >= 0 && outcome <= XML_TOO_DEEP);
        ASSERT_EQ(n.IsEmpty(), outcome > XML_NO_ELEMENT);
        // Whatever was kept can be written and read again.
        int again = -1;
        XMLNode back = XMLNode::Parse(n.Serialize(), &again);
        ASSERT_TRUE(again >= 0 && again <= XML_TOO_DEEP);
    }
}

TEST(XmlBuild, QueryIsWrittenOneChildPerLine) {
    XMLNode q = XMLNode::CreateTop("Query");
    q.AddTextChild("CmdType", "Catalog");
    q.AddIntChild("SN", 10);
    q.AddTextChild("DeviceID", "34020000001320000001");
    EXPECT_EQ(q.Serialize(), "<Query>\r\n"
                             " <CmdType>Catalog</CmdType>\r\n"
                             " <SN>10</SN>\r\n"
                             " <DeviceID>34020000001320000001</DeviceID>\r\n"
                             "</Query>\r\n");
    int len = -1;
    char* raw = q.Serialize(&len);
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(std::string(raw), q.Serialize());
    EXPECT_EQ(len, static_cast<int>(q.Serialize().size()));
    std::free(raw);
}

TEST(XmlBuild, NestingAttributesAndIndentation) {
    XMLNode c = XMLNode::CreateTop("Control");
    c.AddTextChild("CmdType", "DeviceConfig");
    XMLNode basic = c.AddChild("BasicParam");
    basic.AddNumAttribute();
    basic.AddIntChild("Expiration", -3600);
    XMLNode inner = basic.AddChild("Inner");
    inner.AddAttribute("flag", nullptr);
    basic.AddChild("Empty");
    EXPECT_EQ(c.Serialize(), "<Control>\r\n"
                             " <CmdType>DeviceConfig</CmdType>\r\n"
                             " <BasicParam Num=\"1\">\r\n"
                             "  <Expiration>-3600</Expiration>\r\n"
                             "  <Inner flag/>\r\n"
                             "  <Empty/>\r\n"
                             " </BasicParam>\r\n"
                             "</Control>\r\n");
    EXPECT_EQ(c.ChildWithNum("basicparam"), basic);
}

TEST(XmlBuild, MixedContentAndSectionsLayout) {
    XMLNode a = XMLNode::CreateTop("a");
    a.AddText("lead");
    a.AddChild("b");
    a.AddText("tail");
    EXPECT_EQ(a.Serialize(), "<a>\r\n lead <b/>\r\n tail</a>\r\n");
    XMLNode t = XMLNode::CreateTop("t");
    t.AddText("x");
    t.AddText("y");
    EXPECT_EQ(t.Serialize(), "<t>xy</t>\r\n");
    XMLNode p = XMLNode::Parse("<r><s><![CDATA[a<b]]></s></r>");
    EXPECT_EQ(p.Serialize(), "<r>\r\n <s>  <![CDATA[a<b]]>\r\n</s>\r\n</r>\r\n");
    EXPECT_EQ(Dump(XMLNode::Parse(p.Serialize())), Dump(p));
}

TEST(XmlBuild, EscapingRoundTrips) {
    XMLNode a = XMLNode::CreateTop("a");
    a.AddAttribute("v", "1 < 2 & \"3\"");
    a.AddTextChild("t", "x<y & 'z' > w");
    const std::string text = a.Serialize();
    EXPECT_EQ(text, "<a v=\"1 &lt; 2 &amp; &quot;3&quot;\">\r\n"
                    " <t>x&lt;y &amp; &apos;z&apos; &gt; w</t>\r\n</a>\r\n");
    XMLNode back = XMLNode::Parse(text);
    EXPECT_STREQ(back.AttributeValue("v"), "1 < 2 & \"3\"");
    EXPECT_STREQ(back.FindText("t"), "x<y & 'z' > w");
}

TEST(XmlBuild, DeclarationWritesItsChildrenAtItsOwnDepth) {
    XMLNode x =
        XMLNode::Parse("<?xml version=\"1.0\" encoding=\"GB2312\"?><Notify><SN>1</SN></Notify>");
    EXPECT_EQ(x.Serialize(), "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n"
                             "<Notify>\r\n <SN>1</SN>\r\n</Notify>\r\n");
}

TEST(XmlHandle, SharedBodiesAndEmptyHandle) {
    XMLNode child;
    {
        XMLNode top = XMLNode::CreateTop("top");
        child = top.AddTextChild("c", "kept");
        XMLNode copy = top;
        XMLNode& alias = copy;
        copy = alias; // self-assignment is harmless
        EXPECT_EQ(copy, top);
        EXPECT_EQ(child.Parent(), top);
    }
    // The parent is gone; the child lives on without it.
    EXPECT_STREQ(child.Text(0), "kept");
    EXPECT_TRUE(child.Parent().IsEmpty());
    XMLNode moved = std::move(child);
    EXPECT_TRUE(child.IsEmpty()); // NOLINT: checking the moved-from handle
    EXPECT_STREQ(moved.Name(), "c");

    XMLNode none;
    EXPECT_TRUE(none.AddChild("x").IsEmpty());
    none.AddText("x");
    none.AddNumAttribute();
    EXPECT_TRUE(none.ChildByName("x").IsEmpty());
    EXPECT_TRUE(none.ChildWithNum("x").IsEmpty());
    EXPECT_EQ(none.FindText("x"), nullptr);
    EXPECT_EQ(none.ChildCount(), 0);
    EXPECT_STREQ(none.Name(), "");
    EXPECT_EQ(none.Text(0), nullptr);
    EXPECT_EQ(none.Attribute(0), nullptr);
    EXPECT_EQ(none.Serialize(), "");
    int len = 7;
    EXPECT_EQ(none.Serialize(&len), nullptr);
    EXPECT_EQ(len, 0);
    EXPECT_TRUE(XMLNode::CreateTop(nullptr).IsEmpty());
}

TEST(XmlQuery, CursorWalksChildrenOfOneName) {
    XMLNode r = XMLNode::Parse("<L><Item>1</Item><x/><ITEM>2</ITEM><Item Num='5'>3</Item></L>");
    int cursor = 0;
    std::string seen;
    for (XMLNode i = r.ChildByName("item", &cursor); !i.IsEmpty();
         i = r.ChildByName("item", &cursor))
        seen += i.Text(0);
    EXPECT_EQ(seen, "123");
    EXPECT_EQ(cursor, 4);
    EXPECT_STREQ(r.ChildByName("Item").Text(0), "1");
    EXPECT_STREQ(r.ChildWithNum("Item").Text(0), "3");
    EXPECT_TRUE(r.ChildAt(-1).IsEmpty());
    EXPECT_TRUE(r.ChildAt(4).IsEmpty());
    // FindText is pre-order: the element itself first, then its children in order.
    XMLNode t = XMLNode::Parse("<a><b><c>deep</c></b><c>shallow</c></a>");
    EXPECT_STREQ(t.FindText("c"), "deep");
    EXPECT_STREQ(t.FindText("b"), "");
}
