// The XML view: which bodies open it, the rendered document, toggles, and the dialog.
#include "app/shell/CWebDlg.h"
#include "export/webview/XmlDocumentView.h"

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>

#include <gtest/gtest.h>

using tarvex::webview::BodyHasChildElements;
using tarvex::webview::XmlDocumentView;

namespace {

// A Catalog answer with two items, the first name in GBK as the declaration says.
const std::string kCatalog = "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n"
                             "<Response>\r\n"
                             "<CmdType>Catalog</CmdType>\r\n"
                             "<SN>17</SN>\r\n"
                             "<DeviceID>34010000001320000001</DeviceID>\r\n"
                             "<SumNum>2</SumNum>\r\n"
                             "<DeviceList Num=\"2\">\r\n"
                             "<Item>\r\n<DeviceID>34010000001310000001</DeviceID>\r\n"
                             "<Name>\xC7\xB0\xC3\xC5</Name>\r\n<Status>ON</Status>\r\n</Item>\r\n"
                             "<Item>\r\n<DeviceID>34010000001310000002</DeviceID>\r\n"
                             "<Name>Gate &amp; Yard</Name>\r\n<Status>OFF</Status>\r\n</Item>\r\n"
                             "</DeviceList>\r\n"
                             "</Response>\r\n";

const std::string kKeepalive =
    "<?xml version=\"1.0\"?>\r\n<Notify>\r\n<CmdType>Keepalive</CmdType>\r\n<SN>3</SN>\r\n"
    "<DeviceID>34010000001320000001</DeviceID>\r\n<Status>OK</Status>\r\n</Notify>\r\n";

int argc = 1;
char arg0[] = "test_webview";
char* argv[] = {arg0, nullptr};

class WebView : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!QApplication::instance()) app_ = new QApplication(argc, argv);
    }
    static QApplication* app_;
};
QApplication* WebView::app_ = nullptr;

} // namespace

TEST(WebViewDecision, XmlBodiesOpenTheViewOthersTheTextViewer) {
    EXPECT_TRUE(BodyHasChildElements(kCatalog));
    EXPECT_TRUE(BodyHasChildElements(kKeepalive));
    EXPECT_TRUE(BodyHasChildElements("<Query><CmdType>Catalog</CmdType></Query>"));
    // A declaration alone followed by a lone element: the element is the declaration's child.
    EXPECT_TRUE(BodyHasChildElements("<?xml version=\"1.0\"?><Empty/>"));

    EXPECT_FALSE(BodyHasChildElements("No Body!\n"));
    EXPECT_FALSE(BodyHasChildElements(""));
    EXPECT_FALSE(BodyHasChildElements("<Name>only text</Name>"));
    EXPECT_FALSE(BodyHasChildElements("v=0\r\no=34010000001320000001 0 0 IN IP4 127.0.0.1\r\n"));
    EXPECT_FALSE(BodyHasChildElements(
        "MESSAGE sip:34010000001320000001@127.0.0.1:5060 SIP/2.0\r\nVia: SIP/2.0/UDP "
        "127.0.0.1:5061;branch=z9hG4bK1\r\nContent-Type: Application/MANSCDP+xml\r\n\r\n\n"));
    // Unparsable: an end tag that matches nothing.
    EXPECT_FALSE(BodyHasChildElements("<Response><Item>x</Response></Item>"));
}

TEST(WebViewDocument, CatalogRendersElementsAttributesAndTexts) {
    const auto doc = XmlDocumentView::FromBody(kCatalog);
    ASSERT_TRUE(doc);
    // Response, DeviceList and the two Items collapse.
    EXPECT_EQ(doc->CollapsibleCount(), 4);
    const std::string text = doc->PlainText({});
    const std::string want = "  <?xml version=\"1.0\" encoding=\"GB2312\"?>\n"
                             "- <Response>\n"
                             "    <CmdType>Catalog</CmdType>\n"
                             "    <SN>17</SN>\n"
                             "    <DeviceID>34010000001320000001</DeviceID>\n"
                             "    <SumNum>2</SumNum>\n"
                             "  - <DeviceList Num=\"2\">\n"
                             "    - <Item>\n"
                             "        <DeviceID>34010000001310000001</DeviceID>\n"
                             "        <Name>前门</Name>\n"
                             "        <Status>ON</Status>\n"
                             "      </Item>\n"
                             "    - <Item>\n"
                             "        <DeviceID>34010000001310000002</DeviceID>\n"
                             "        <Name>Gate & Yard</Name>\n"
                             "        <Status>OFF</Status>\n"
                             "      </Item>\n"
                             "    </DeviceList>\n"
                             "  </Response>\n";
    EXPECT_EQ(text, want);

    // Collapsing the first Item (id 2) hides its children only.
    const std::string folded = doc->PlainText({2});
    EXPECT_NE(folded.find("+ <Item>...</Item>"), std::string::npos) << folded;
    EXPECT_EQ(folded.find("34010000001310000001"), std::string::npos);
    EXPECT_NE(folded.find("34010000001310000002"), std::string::npos);

    // The rich text escapes markup and links the toggles.
    const std::string html = doc->Html({});
    EXPECT_NE(html.find("href=\"toggle:0\""), std::string::npos);
    EXPECT_NE(html.find("Gate &amp; Yard"), std::string::npos);
    EXPECT_EQ(html.find("<Item>"), std::string::npos);
}

TEST(WebViewDocument, CommentsSectionsAndEmptyElements) {
    const auto doc = XmlDocumentView::FromBody(
        "<Control><!-- note --><Empty/><Flag on/><Data><![CDATA[a<b]]></Data></Control>");
    ASSERT_TRUE(doc);
    EXPECT_EQ(doc->PlainText({}), "- <Control>\n"
                                  "    <!-- note -->\n"
                                  "    <Empty/>\n"
                                  "    <Flag on/>\n"
                                  "  - <Data>\n"
                                  "      <![CDATA[a<b]]>\n"
                                  "    </Data>\n"
                                  "  </Control>\n");
    EXPECT_FALSE(XmlDocumentView::FromBody("<a>&bogus;</a>"));
}

TEST_F(WebView, DialogShowsTheCatalogAndTogglesByItsLinks) {
    CWebDlg dlg;
    EXPECT_EQ(dlg.objectName(), "WebDlg");
    auto* ok = dlg.findChild<QPushButton*>("ctl1");
    auto* cancel = dlg.findChild<QPushButton*>("ctl2");
    auto* view = dlg.findChild<QTextBrowser*>("ctl1003");
    ASSERT_TRUE(ok && cancel && view);
    EXPECT_EQ(ok->text(), QString::fromUtf8("确定"));
    EXPECT_EQ(cancel->text(), QString::fromUtf8("取消"));
    EXPECT_TRUE(view->textInteractionFlags() & Qt::TextSelectableByMouse);

    dlg.SetText(kCatalog);
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    QString shown = dlg.ShownText();
    EXPECT_TRUE(shown.contains("<CmdType>Catalog</CmdType>")) << shown.toStdString();
    EXPECT_TRUE(shown.contains("<DeviceList Num=\"2\">"));
    EXPECT_TRUE(shown.contains(QString::fromUtf8("<Name>前门</Name>")));
    EXPECT_TRUE(shown.contains("<Name>Gate & Yard</Name>"));

    // The link of the DeviceList toggle (id 1) folds it, a second activation unfolds it.
    emit view->anchorClicked(QUrl("toggle:1"));
    EXPECT_TRUE(dlg.IsCollapsed(1));
    shown = dlg.ShownText();
    EXPECT_FALSE(shown.contains("34010000001310000002"));
    EXPECT_TRUE(shown.contains("<SumNum>2</SumNum>"));
    emit view->anchorClicked(QUrl("toggle:1"));
    EXPECT_FALSE(dlg.IsCollapsed(1));
    EXPECT_TRUE(dlg.ShownText().contains("34010000001310000002"));
    // Links that are no toggle, and toggles out of range, change nothing.
    emit view->anchorClicked(QUrl("http://example.invalid/"));
    dlg.Toggle(99);
    EXPECT_TRUE(dlg.ShownText().contains("34010000001310000002"));

    // Selecting everything and copying gives the document's text.
    view->selectAll();
    EXPECT_TRUE(view->textCursor().selectedText().contains("Catalog"));

    QTest::mouseClick(ok, Qt::LeftButton);
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
}

TEST_F(WebView, ModalRunEndsWithCancel) {
    CWebDlg dlg;
    dlg.SetText(kKeepalive);
    QTimer::singleShot(0, &dlg, [&] {
        EXPECT_TRUE(dlg.ShownText().contains("<CmdType>Keepalive</CmdType>"));
        dlg.findChild<QPushButton*>("ctl2")->click();
    });
    EXPECT_EQ(dlg.exec(), QDialog::Rejected);
}

TEST_F(WebView, LongBodiesAreShownWhole) {
    std::string body = "<?xml version=\"1.0\"?>\r\n<Response>\r\n<DeviceList Num=\"200\">\r\n";
    for (int i = 0; i < 200; ++i)
        body += "<Item><DeviceID>3401000000131" + std::to_string(1000000 + i) +
                "</DeviceID></Item>\r\n";
    body += "</DeviceList>\r\n</Response>\r\n";
    ASSERT_GT(body.size(), 2047u);
    CWebDlg dlg;
    dlg.SetText(body);
    const QString shown = dlg.ShownText();
    EXPECT_TRUE(shown.contains("34010000001311000000"));
    EXPECT_TRUE(shown.contains("34010000001311000199"));
    EXPECT_TRUE(shown.contains("</Response>"));
}

TEST_F(WebView, TextThatIsNoDocumentIsShownAsItIs) {
    CWebDlg dlg;
    dlg.SetText("<Response><Item>x</Response></Item>");
    EXPECT_EQ(dlg.ShownText(), QString("<Response><Item>x</Response></Item>"));
}
