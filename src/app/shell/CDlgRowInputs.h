#pragma once
// The inputs dialog of a command row that takes the operator's values (the
// 2022 rows, 设备配置, 设备配置获取, 图像抓拍配置): one box per field, named
// by its key so that operator scripts can fill it, the range as a hint, and
// a tick box for the rows that ask before sending (upgrade, card format).

#include "manscdp/gb2022/RowInputs.h"

class QWidget;

// True when the row needs no inputs or the operator pressed OK; values then
// hold what the boxes held (kept for the next time the row is opened).
// prefill: values offered where the operator has typed nothing yet.
bool AskRowInputs(int row, const char* title, const RowValues& prefill, QWidget* parent,
                  RowValues& values);
