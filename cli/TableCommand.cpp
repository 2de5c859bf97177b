#include "Commands.h"

#include "support/Errors.h"
#include "support/paradox/Table.h"
#include "support/text/DateTime.h"

#include <iostream>
#include <string>

namespace wh::cli {
namespace {

// One cell of the dump: tabs and line breaks would break the layout, so they are shown escaped.
// Binary values (blobs, formatted memos, OLE, graphics, bytes) show only their size.
std::string Cell(const paradox::Field& field)
{
    using paradox::FieldType;
    const FieldType type = field.Type();
    if (type == FieldType::Blob || type == FieldType::FmtMemo || type == FieldType::Ole || type == FieldType::Graphic
        || type == FieldType::Bytes) {
        const std::string bytes = field.AsBytes();
        return bytes.empty() ? std::string() : "(" + std::to_string(bytes.size()) + " bytes)";
    }
    // Times of day go out on a 24-hour clock with every part, so a dump sorts and compares as text.
    if ((type == FieldType::Timestamp || type == FieldType::Time) && !field.IsNull()) {
        const char* format = type == FieldType::Timestamp ? "mm/dd/yyyy hh:nn:ss" : "hh:nn:ss";
        return text::FormatDateTime(format, field.AsDateTime(), text::CurrentDateConventions());
    }
    const std::string value = field.AsText();
    std::string cell;
    cell.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '\r') {
            cell += "\\n";
            if (i + 1 < value.size() && value[i + 1] == '\n') {
                ++i;
            }
        } else if (c == '\n') {
            cell += "\\n";
        } else if (c == '\t') {
            cell += "\\t";
        } else if (c == '\\') {
            cell += "\\\\";
        } else {
            cell += c;
        }
    }
    return cell;
}

void DumpTable(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    paradox::Table table(folder, name);
    table.Open(paradox::OpenMode::Shared);
    std::string line;
    for (int i = 0; i < table.FieldCount(); ++i) {
        line += (i > 0 ? "\t" : "") + table.FieldAt(i).Name();
    }
    std::cout << line << '\n';
    for (table.First(); !table.Eof(); table.Next()) {
        line.clear();
        for (int i = 0; i < table.FieldCount(); ++i) {
            if (i > 0) {
                line += '\t';
            }
            line += Cell(table.FieldAt(i));
        }
        std::cout << line << '\n';
    }
    table.Close();
}

} // namespace

void AddTableCommands(CLI::App& app, int& exitCode)
{
    auto* table = app.add_subcommand("table", "Look at the product's Paradox tables");
    table->require_subcommand(1);
    auto* dump = table->add_subcommand("dump", "Print a table: field names, then one tab-separated line per record");
    auto path = std::make_shared<std::string>();
    dump->add_option("PATH", *path, "The table's .DB file")->required();
    dump->callback([path, &exitCode]() {
        try {
            DumpTable(*path);
        } catch (const wh::Error& error) {
            std::cout.flush();
            std::cerr << error.what() << '\n';
            exitCode = 1;
        }
    });
}

} // namespace wh::cli
