#include "platform/fieldcheck.h"

#include <QString>

namespace {

constexpr size_t textLimit = 1024;
constexpr size_t pathLimit = 4096;
constexpr size_t logLimit = 65536;
constexpr size_t contentLimit = 262144;

bool isValidUtf8(const std::string &bytes)
{
    const QString text = QString::fromStdString(bytes);
    return text.toStdString() == bytes;
}

bool hasNoLineOrNul(const std::string &text)
{
    return text.find_first_of(std::string("\0\n\r", 3)) == std::string::npos;
}

bool isPath(const std::string &path)
{
    return !path.empty() && path.size() <= pathLimit && path[0] == '/' && FieldCheck::isPlainText(path);
}

} // namespace

namespace FieldCheck {

bool isPlainText(const std::string &text)
{
    if (!isValidUtf8(text))
        return false;
    const QString decoded = QString::fromStdString(text);
    for (const QChar c : decoded) {
        if (c.category() == QChar::Other_Control)
            return false;
    }
    return true;
}

bool isPathComponent(const std::string &name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos
        && name.find('\0') == std::string::npos;
}

bool isAcceptable(FieldKind kind, const std::string &field)
{
    switch (kind) {
    case FieldKind::AccountName:
        // The shadow tools would read a leading "-" as an option; ":" and "," separate the
        // fields of the account files.
        return field.size() <= 256 && isPathComponent(field) && isPlainText(field) && field[0] != '-'
            && field[0] != '+' && field.find_first_of(":,") == std::string::npos;
    case FieldKind::UserName:
        return !field.empty() && field.size() <= textLimit && isPlainText(field);
    case FieldKind::Password:
        return !field.empty() && field.size() <= textLimit && hasNoLineOrNul(field) && isValidUtf8(field);
    case FieldKind::OptionalPassword:
        return field.empty() || isAcceptable(FieldKind::Password, field);
    case FieldKind::Text:
        return field.size() <= textLimit && isPlainText(field);
    case FieldKind::LogEntry:
        return field.size() <= logLimit && isValidUtf8(field);
    case FieldKind::LogLevel:
        return field == "error" || field == "info";
    case FieldKind::Path:
        return isPath(field);
    case FieldKind::OptionalPath:
        return field.empty() || isPath(field);
    case FieldKind::RelativePath:
        return field.size() <= pathLimit && isPlainText(field);
    case FieldKind::Argument:
        return field.size() <= textLimit && isPlainText(field);
    case FieldKind::Operand:
        return isAcceptable(FieldKind::Argument, field) && (field.empty() || field[0] != '-');
    case FieldKind::Flag:
        return field == "0" || field == "1";
    case FieldKind::Content:
        return field.size() <= contentLimit;
    }
    return false;
}

} // namespace FieldCheck
