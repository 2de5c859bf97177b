#include "auxfiles/AuxTransfer.h"

#include <cstdio>

#include "env/UserNotice.h"
#include "env/WarehouseFuncs.h"
#include "support/Errors.h"
#include "support/json/Json.h"
#include "support/text/DateTime.h"
#include "support/text/Win1252.h"
#include "warehouse/WarehouseSession.h"
#include "warehouse/WarehouseTrans.h"

namespace wh::auxfiles {
namespace {

// Characters `first` (1-based) on, at most `count`, as far as the text goes.
std::string Characters(const std::string& text, std::size_t first, std::size_t count)
{
    return first - 1 < text.size() ? text.substr(first - 1, count) : std::string();
}

// The transfer file goes whether the transfer worked or not; one that will not go is left.
void RemoveTransferFile(const std::string& path)
{
    std::remove(path.c_str());
}

// The "msg" member of a refusal; the failure's own text when the answer is no such object (an
// empty answer means the request itself failed).
std::string RefusalText(const std::string& result, const warehouse::WarehouseSession& session)
{
    if (auto message = RefusalMessage(result)) {
        return *message;
    }
    return result.empty() ? session.LastServerMessage() : result;
}

} // namespace

std::optional<std::string> RefusalMessage(const std::string& answer)
{
    const auto parsed = json::Parse(answer);
    if (parsed && parsed->is_object() && parsed->contains("msg") && (*parsed)["msg"].is_string()) {
        return text::Utf8ToWin1252((*parsed)["msg"].get<std::string>());
    }
    return std::nullopt;
}

std::string ShownAuxDate(const std::string& date)
{
    return Characters(date, 6, 2) + "/" + Characters(date, 9, 2) + "/" + Characters(date, 1, 4);
}

std::optional<std::map<int, std::string>> ParseAuxList(const std::string& list, std::string* problem)
{
    const auto fail = [problem](const std::string& why) {
        if (problem) {
            *problem = why;
        }
        return std::nullopt;
    };
    const auto parsed = json::Parse(list);
    if (!parsed || !parsed->is_array()) {
        return fail("The server's list of auxiliary files is no JSON list: " + list);
    }
    std::map<int, std::string> shown;
    for (const auto& element : *parsed) {
        if (!element.is_object() || !element.contains("type") || !element["type"].is_string()
            || !element.contains("date_modified") || !element["date_modified"].is_string()) {
            return fail("The server's list of auxiliary files holds an entry without a type or date: "
                        + element.dump());
        }
        if (const AuxKind* kind = FindAuxKind(element["type"].get<std::string>())) {
            shown[kind->number] = ShownAuxDate(text::Utf8ToWin1252(element["date_modified"].get<std::string>()));
        }
    }
    return shown;
}

std::string UpdateMarkerPath(env::WarehouseEnv& env)
{
    return env.ClaimsPath("Updates/force.txt");
}

bool GetAuxKind(env::WarehouseEnv& env, warehouse::WarehouseSession& session, UserNotice& notice, const AuxKind& kind,
                std::string* detail)
{
    const std::string path = env.LocalWarehouseDir() + "/" + kind.getFile;
    bool extracted = false;
    try {
        if (warehouse::AuxGetFile(session, path, kind.code) != "ok") {
            notice.ShowMessage(MessageKind::Information,
                               "Error Retrieving Auxiliary File\r\nServer Response : " + session.LastServerMessage());
        } else {
            extracted = ExtractAuxArchive(env, kind.number, path, detail) == 0;
        }
    } catch (const Error& error) {
        notice.ShowMessage(MessageKind::Error, error.what());
    }
    RemoveTransferFile(path);
    // The product is told to look again after every Get, a failed one included. Its Updates
    // folder belongs to the product; when it is missing that is said, not papered over.
    try {
        env::WriteFileOrRaise(UpdateMarkerPath(env), std::string());
    } catch (const Error& error) {
        notice.ShowMessage(MessageKind::Error, error.what());
        return false;
    }
    return extracted;
}

bool PutAuxKind(env::WarehouseEnv& env, warehouse::WarehouseSession& session, UserNotice& notice, const AuxKind& kind)
{
    const std::string path = env.LocalWarehouseDir() + "/" + kind.putFile;
    bool stored = false;
    try {
        const int built = BuildAuxArchive(env, kind.number, path);
        if (built == 0) {
            const std::string result = warehouse::AuxPutFile(session, path, kind.code);
            stored = result == "ok";
            if (!stored) {
                notice.ShowMessage(MessageKind::Information,
                                   "Error Saving Auxiliary File\r\nServer Response : " + RefusalText(result, session));
            }
        } else if (built == 1) {
            notice.ShowMessage(MessageKind::Information,
                               std::string("Unable to build ") + kind.statusWord + " File for Transfer");
        }
    } catch (const Error& error) {
        notice.ShowMessage(MessageKind::Error, error.what());
    }
    RemoveTransferFile(path);
    return stored;
}

std::string TodayShortDate(env::WarehouseEnv& env)
{
    const text::DateParts now = text::DecodeDateTime(env.Clock().Now());
    return text::FormatShortDate(text::EncodeDateTime({ now.year, now.month, now.day }));
}

} // namespace wh::auxfiles
