#pragma once
// The operator's inputs of a command row: which fields a row asks for, their
// kind and range, and the checks made before anything is sent. Toolkit-free:
// the window's dialog and the operator scripts both fill RowValues.

#include <span>
#include <string>
#include <utility>
#include <vector>

// What the operator typed, key by key, for the row being clicked.
using RowValues = std::vector<std::pair<std::string, std::string>>;

enum class FieldKind {
    Integer, // decimal digits with an optional sign, within [min, max]
    Decimal, // a number with an optional fraction, within [min, max]
    Text,    // at most `max` bytes (0: no bound), no control characters
    Choice,  // one of the '|'-separated words of `choices`
    Url,     // http:// or https:// followed by a host
};

struct RowField {
    const char* key;   // also the element name where the body uses it as is
    const char* label; // the dialog's label
    FieldKind kind;
    double min = 0, max = 0;
    bool required = true;
    const char* choices = nullptr; // Choice only
};

// The value for key, trimmed of surrounding blanks; "" when absent.
std::string RowValue(const RowValues& values, const std::string& key);

// Checks one value against its field. "" when it is acceptable (an empty
// optional field is); else the reason, naming the field.
std::string CheckField(const RowField& f, const std::string& value);

// Checks every field of a row; the first reason, or "".
std::string CheckFields(std::span<const RowField> fields, const RowValues& values);
