#include "Commands.h"
#include "ExitCodes.h"

#include "support/Errors.h"
#include "support/paradox/SecondaryIndex.h"
#include "support/paradox/Table.h"
#include "support/text/DateTime.h"

#include <algorithm>
#include <cctype>
#include <iostream>
#include <string>
#include <string_view>
#include <utility>

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

// The folder and file name of a PATH as given on the command line.
std::pair<std::string, std::string> SplitPath(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return { ".", path };
    }
    return { slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1) };
}

void PrintRows(paradox::Table& table)
{
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
}

bool SameNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// An index is named by its file name ("C.X02"), its extension ("X02") or its index name.
paradox::SecondaryIndex& FindIndex(paradox::Table& table, const std::string& path, const std::string& wanted)
{
    const auto indexes = table.SecondaryIndexes();
    for (paradox::SecondaryIndex* index : indexes) {
        const std::string& file = index->FileName();
        const auto dot = file.find_last_of('.');
        const std::string_view extension
            = dot == std::string::npos ? std::string_view() : std::string_view(file).substr(dot + 1);
        if (SameNoCase(file, wanted) || SameNoCase(extension, wanted) || SameNoCase(index->Name(), wanted)) {
            return *index;
        }
    }
    std::string message = "Table \"" + path + "\" has no secondary index \"" + wanted + "\"";
    if (indexes.empty()) {
        message += "; it has no secondary indexes at all.";
    } else {
        message += ". Give one of its indexes by file name, extension or index name:";
        for (const paradox::SecondaryIndex* index : indexes) {
            message += "\n  " + index->FileName() + "  " + index->Name();
        }
    }
    throw TableError(message);
}

void DumpTable(const std::string& path, const std::string& indexName)
{
    const auto [folder, name] = SplitPath(path);
    paradox::Table table(folder, name);
    table.Open(paradox::OpenMode::Shared);
    if (indexName.empty()) {
        PrintRows(table);
    } else {
        paradox::SecondaryIndex& index = FindIndex(table, path, indexName);
        paradox::Table* rows = index.Rows();
        if (rows == nullptr) {
            throw TableError("The secondary index \"" + index.FileName() + "\" of table \"" + path
                             + "\" cannot be read: " + index.Unsupported());
        }
        PrintRows(*rows);
    }
    table.Close();
}

// Prints the report of Table::Check; true when the family is consistent. Notes are marked so
// that they are not taken for faults.
bool CheckTable(const std::string& path)
{
    const auto [folder, name] = SplitPath(path);
    paradox::Table table(folder, name);
    table.Open(paradox::OpenMode::Shared);
    const paradox::Table::CheckReport report = table.Check();
    table.Close();
    bool indexDifference = false;
    for (const std::string& difference : report.differences) {
        std::cout << difference << '\n';
        indexDifference = indexDifference || difference.starts_with("secondary index");
    }
    for (const std::string& note : report.notes) {
        std::cout << "note: " << note << '\n';
    }
    if (report.differences.empty()) {
        std::cout << "consistent\n";
        return true;
    }
    std::cout << report.differences.size() << " difference(s)\n";
    if (indexDifference) {
        // The mend for the usual case (a writer that died between the table and its indexes).
        std::cerr << "Secondary indexes can be rebuilt from the records, with the table closed everywhere else: "
                     "whupload-cli table rebuild-indexes \""
                  << path << "\"\n";
    }
    return false;
}

void RebuildIndexes(const std::string& path)
{
    const auto [folder, name] = SplitPath(path);
    paradox::Table table(folder, name);
    table.Open(paradox::OpenMode::Exclusive);
    table.RebuildSecondaryIndexes();
    int rebuilt = 0;
    for (const paradox::SecondaryIndex* index : table.SecondaryIndexes()) {
        if (index->IsMaintained()) {
            std::cout << "rebuilt " << index->FileName() << " (" << index->Name() << ")\n";
            ++rebuilt;
        } else {
            std::cout << "left " << index->FileName() << " (" << index->Name()
                      << "): not maintained, the product rebuilds it when it uses it\n";
        }
    }
    table.Flush();
    table.Close();
    if (rebuilt == 0) {
        std::cout << "no maintained secondary index to rebuild\n";
    }
}

// Runs one command, turning an error into its message on stderr and ExitFailed.
template <typename Body> void Guarded(int& exitCode, Body body)
{
    try {
        body();
    } catch (const wh::Error& error) {
        std::cout.flush();
        std::cerr << error.what() << '\n';
        exitCode = ExitFailed;
    }
}

} // namespace

void AddTableCommands(CLI::App& app, int& exitCode)
{
    auto* table = app.add_subcommand("table", "Look at the product's Paradox tables");
    table->require_subcommand(1);

    auto* dump = table->add_subcommand("dump", "Print a table: field names, then one tab-separated line per record");
    auto dumpPath = std::make_shared<std::string>();
    auto indexName = std::make_shared<std::string>();
    dump->add_option("PATH", *dumpPath, "The table's .DB file")->required();
    dump->add_option("--index", *indexName,
                     "Print the entries of this secondary index in its order instead: its file name (C.X02), "
                     "extension (X02, XG0) or index name");
    dump->callback(
        [dumpPath, indexName, &exitCode]() { Guarded(exitCode, [&] { DumpTable(*dumpPath, *indexName); }); });

    auto* check
        = table->add_subcommand("check",
                                "Compare a table's records with its header, primary index and secondary indexes; "
                                "exit 1 on any difference");
    auto checkPath = std::make_shared<std::string>();
    check->add_option("PATH", *checkPath, "The table's .DB file")->required();
    check->callback([checkPath, &exitCode]() {
        Guarded(exitCode, [&] {
            if (!CheckTable(*checkPath)) {
                exitCode = ExitFailed;
            }
        });
    });

    auto* rebuild
        = table->add_subcommand("rebuild-indexes",
                                "Rewrite a table's maintained secondary indexes from its records (needs the table "
                                "closed everywhere else)");
    auto rebuildPath = std::make_shared<std::string>();
    rebuild->add_option("PATH", *rebuildPath, "The table's .DB file")->required();
    rebuild->callback([rebuildPath, &exitCode]() { Guarded(exitCode, [&] { RebuildIndexes(*rebuildPath); }); });
}

} // namespace wh::cli
