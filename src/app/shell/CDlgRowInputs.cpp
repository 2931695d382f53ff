#include "app/shell/CDlgRowInputs.h"

#include "manscdp/gb2022/Gb2022Bodies.h"

#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <map>

namespace {

QString U(const char* s) { return QString::fromUtf8(s); }

QString Hint(const RowField& f) {
    auto num = [](double v) { return QString::number(v, 'g', 10); };
    switch (f.kind) {
    case FieldKind::Integer:
    case FieldKind::Decimal: return num(f.min) + U(" 到 ") + num(f.max);
    case FieldKind::Choice: return U(f.choices);
    case FieldKind::Url: return U("http://主机:端口/路径");
    case FieldKind::Text: return f.required ? QString() : U("可留空");
    }
    return {};
}

// What the operator typed last, row by row, for this run of the program.
std::map<int, RowValues>& Remembered() {
    static std::map<int, RowValues> m;
    return m;
}

} // namespace

bool AskRowInputs(int row, const char* title, const RowValues& prefill, QWidget* parent,
                  RowValues& values) {
    const RowForm* rowForm = RowFormFor(row);
    if (!rowForm || (rowForm->fields.empty() && !rowForm->confirm)) return true;
    QDialog d(parent);
    d.setObjectName("CDlgRowInputs");
    d.setWindowTitle(U(title));
    auto* form = new QFormLayout;
    const RowValues& last = Remembered()[row];
    std::vector<std::pair<std::string, QLineEdit*>> boxes;
    for (const RowField& f : rowForm->fields) {
        auto* e = new QLineEdit(&d);
        e->setObjectName(f.key);
        std::string v = RowValue(last, f.key);
        if (v.empty()) v = RowValue(prefill, f.key);
        e->setText(QString::fromStdString(v));
        e->setPlaceholderText(Hint(f));
        if (std::string(f.key) == "FirmwareFile") {
            // The firmware is a local file: picked here, served by the core.
            auto* pick = new QPushButton(U("浏览…"), &d);
            pick->setObjectName("browse");
            QObject::connect(pick, &QPushButton::clicked, &d, [&d, e] {
                const QString f = QFileDialog::getOpenFileName(&d, U("选择固件文件"), e->text());
                if (!f.isEmpty()) e->setText(f);
            });
            auto* line = new QHBoxLayout;
            line->addWidget(e);
            line->addWidget(pick);
            form->addRow(U(f.label) + ":", line);
        } else {
            form->addRow(U(f.label) + ":", e);
        }
        boxes.emplace_back(f.key, e);
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
    ok->setText(U("确定"));
    ok->setObjectName("ok");
    buttons->button(QDialogButtonBox::Cancel)->setText(U("取消"));
    buttons->button(QDialogButtonBox::Cancel)->setObjectName("cancel");
    QObject::connect(buttons, &QDialogButtonBox::accepted, &d, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &d, &QDialog::reject);
    auto* l = new QVBoxLayout(&d);
    l->addLayout(form);
    if (rowForm->confirm) {
        // OK stays disabled until the operator ticks the question.
        auto* c = new QCheckBox(U(rowForm->confirm), &d);
        c->setObjectName("confirm");
        ok->setEnabled(false);
        QObject::connect(c, &QCheckBox::toggled, ok, &QPushButton::setEnabled);
        l->addWidget(c);
    }
    l->addWidget(buttons);
    if (d.exec() != QDialog::Accepted) return false;
    values.clear();
    for (const auto& [key, e] : boxes)
        values.emplace_back(key, e->text().toStdString());
    Remembered()[row] = values;
    return true;
}
