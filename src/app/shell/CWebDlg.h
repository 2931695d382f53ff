// CWebDlg: the modal "WebDlg" dialog that shows an XML message body as a document.
//
// Use (GUI thread):
//   if (tarvex::webview::BodyHasChildElements(body)) {
//       CWebDlg dlg(parent);
//       dlg.SetText(body);   // the body as logged (received bytes)
//       dlg.exec();
//   } else { /* the plain text viewer */ }
//
// The view (objectName "ctl1003") renders the document as a browser's XML display:
// indented, coloured, every element with content collapsible by its "-" / "+" toggle,
// selectable and copyable. Whole bodies are shown, however long. A body that does not
// parse is shown as plain text.
#pragma once

#include "export/webview/XmlDocumentView.h"

#include <QDialog>

#include <optional>
#include <set>
#include <string>

class QTextBrowser;
class QPushButton;
class QUrl;

class CWebDlg : public QDialog {
    Q_OBJECT
public:
    explicit CWebDlg(QWidget* parent = nullptr);
    ~CWebDlg() override;

    // The text to show, set before the dialog runs (or while it is open).
    void SetText(const std::string& text);
    const std::string& Text() const { return text_; }

    // Collapses or expands the element with that toggle id.
    void Toggle(int id);
    bool IsCollapsed(int id) const { return collapsed_.count(id) != 0; }
    // What the view shows, as plain text.
    QString ShownText() const;
    QTextBrowser* View() const { return view_; }

private:
    void Load();
    void OnAnchor(const QUrl& url);

    std::string text_;
    std::optional<tarvex::webview::XmlDocumentView> doc_;
    std::set<int> collapsed_;
    QTextBrowser* view_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
};
