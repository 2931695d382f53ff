#include "app/shell/CWebDlg.h"

#include <QApplication>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

CWebDlg::CWebDlg(QWidget* parent) : QDialog(parent) {
    setObjectName("WebDlg");
    setWindowTitle("WebDlg");
    setWindowIcon(QApplication::windowIcon());
    setModal(true);
    // 357 x 296 dialog units at the usual 6 x 13 pixel dialog font.
    resize(357 * 6 / 4, 296 * 13 / 8);

    view_ = new QTextBrowser(this);
    view_->setObjectName("ctl1003");
    view_->setOpenLinks(false);
    view_->setOpenExternalLinks(false);
    view_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard |
                                   Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    view_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    connect(view_, &QTextBrowser::anchorClicked, this, &CWebDlg::OnAnchor);

    ok_ = new QPushButton(QString::fromUtf8("确定"), this);
    ok_->setObjectName("ctl1");
    ok_->setDefault(true);
    cancel_ = new QPushButton(QString::fromUtf8("取消"), this);
    cancel_->setObjectName("ctl2");
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(3, 3, 3, 3);
    layout->addWidget(view_, 1);
    layout->addLayout(buttons);
}

CWebDlg::~CWebDlg() = default;

void CWebDlg::SetText(const std::string& text) {
    text_ = text;
    doc_ = tarvex::webview::XmlDocumentView::FromBody(text_);
    collapsed_.clear();
    Load();
}

void CWebDlg::Load() {
    if (doc_) {
        const int scroll = view_->verticalScrollBar()->value();
        view_->setHtml(QString::fromStdString(doc_->Html(collapsed_)));
        view_->verticalScrollBar()->setValue(scroll);
    } else {
        // Not a document: the text itself, so nothing the operator asked for is hidden.
        view_->setPlainText(QString::fromStdString(text_));
    }
}

void CWebDlg::Toggle(int id) {
    if (!doc_ || id < 0 || id >= doc_->CollapsibleCount()) return;
    if (!collapsed_.erase(id)) collapsed_.insert(id);
    Load();
}

void CWebDlg::OnAnchor(const QUrl& url) {
    const QString s = url.toString();
    if (!s.startsWith("toggle:")) return;
    bool ok = false;
    const int id = s.mid(7).toInt(&ok);
    if (ok) Toggle(id);
}

QString CWebDlg::ShownText() const {
    return view_->toPlainText();
}
