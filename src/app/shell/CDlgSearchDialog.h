#pragma once
// The modal dialog "历史文件查询条件" over CDlgSearch: boxes "起始时间:" and
// "终止时间:" (objectNames "start", "end") and the drop-down "录像类型:" ("type").

#include "manscdp/search/CDlgSearch.h"

#include <QDialog>

class QComboBox;
class QLineEdit;

class CDlgSearchDialog : public QDialog {
    Q_OBJECT
public:
    // Fills the controls from the conditions (after PrepareOpen).
    CDlgSearchDialog(CDlgSearch& search, QWidget* parent = nullptr);

    void accept() override;
    void reject() override;

private:
    CDlgSearch& search_;
    QLineEdit* start_ = nullptr;
    QLineEdit* end_ = nullptr;
    QComboBox* type_ = nullptr;
};

// Runs the dialog modally; true after OK. Either way the conditions remember
// the outcome for the RecordInfo query that follows.
bool RunSearchDialog(CDlgSearch& search, QWidget* parent);
