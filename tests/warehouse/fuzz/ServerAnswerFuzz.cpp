// libFuzzer target for everything the tool reads from the warehouse server. The first byte of the
// input picks the reader (its value modulo the number of readers, so the corpus files begin with
// the digit '0' to '7'); the rest is the answer's body as the request returned it. Each reader is
// the routine the tool itself calls on that answer, followed by the checks of what it promises.
// A wh::Error where a reader documents one is an expected answer to a bad body; any other
// exception, crash, sanitizer report, hang or runaway memory is a finding.
#include "app/UploadRun.h"
#include "auxfiles/AuxTransfer.h"
#include "env/UserNotice.h"
#include "restore/ClaimDownload.h"
#include "restore/ClaimSearch.h"
#include "support/Errors.h"
#include "support/json/Json.h"
#include "upload/ProcessClaims.h"
#include "warehouse/WarehouseTrans.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// A broken promise of a reader: said on standard error, then a crash libFuzzer keeps.
void Require(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "server answer reader broke its promise: %s\n", what);
        std::abort();
    }
}

// Counts what the search would have shown; answers nothing.
class CountingNotice : public wh::UserNotice
{
public:
    void ShowMessage(wh::MessageKind, const std::string& text) override
    {
        ++messages;
        Require(!text.empty(), "an empty message box");
    }
    bool AskYesNo(const std::string&) override
    {
        Require(false, "a question while reading an answer");
        return false;
    }
    void ShowBalloon(const std::string&) override { }
    void SetTrayState(wh::TrayState, const std::string&) override { }
    void SetTrayHint(const std::string&) override { }
    void SetBusyCursor(bool) override { }

    int messages = 0;
};

// GET /api/status: the identity, or the refusal's text for the balloon.
void SignIn(const std::string& body)
{
    if (wh::app::ReadSignInIdentity(body)) {
        return;
    }
    Require(!wh::app::AnswerForMessage(body).empty(), "an empty refusal text");
}

// GET /api/claims/: the run's look-up of server versions, as the upload run builds it.
void ClaimList(const std::string& body)
{
    const auto list = wh::json::Parse(body);
    if (!list || !list->is_array()) {
        Require(!wh::app::AnswerForMessage(body).empty(), "an empty text for an unreadable claim list");
        return;
    }
    const wh::upload::ServerClaimIndex index(*list);
    Require(index.Size() <= list->size(), "more claims indexed than listed");
    for (const wh::json::Value& element : *list) {
        const auto id = wh::json::MemberInteger(element, "id");
        const auto version = wh::json::MemberInteger(element, "version");
        if (id && version) {
            Require(index.VersionOf(*id).has_value(), "a listed claim not found");
        }
    }
}

// POST /api/sequences/claims: a new id in range, or the documented Error.
void Sequence(const std::string& body)
{
    try {
        const std::int64_t id = wh::upload::ParseServerClaimId(body);
        Require(id >= 0 && id <= 2147483647, "a claim id out of range");
    } catch (const wh::Error& error) {
        Require(*error.what() != '\0', "an empty error text");
    }
}

// POST /api/claims/search: the result rows with their field widths, and the messages.
void Search(const std::string& body)
{
    CountingNotice notice;
    const auto rows = wh::restore::ReadSearchAnswer(body, 2026, notice);
    if (!rows) {
        Require(notice.messages == 1, "a failed search without its one message");
        return;
    }
    Require(notice.messages <= 2, "more messages than a search shows");
    for (const wh::restore::ClaimSearchRow& row : *rows) {
        Require(row.adjLastName.size() <= 40 && row.claimNumber.size() <= 40 && row.primInsLastName.size() <= 20
                    && row.policyNumber.size() <= 40 && row.lossCity.size() <= 40 && row.lossState.size() <= 2
                    && row.lossZipcode.size() <= 10,
                "a result text wider than its field");
    }
}

// GET /api/aux/: each known kind with its date as shown, or why the list is unreadable.
void AuxList(const std::string& body)
{
    std::string problem;
    const auto dates = wh::auxfiles::ParseAuxList(body, &problem);
    if (!dates) {
        Require(!problem.empty(), "an unreadable list without a reason");
        return;
    }
    for (const auto& [number, date] : *dates) {
        Require(number >= 1 && number <= 8, "a kind that does not exist");
        Require(date.size() <= 10, "a date longer than MM/DD/YYYY");
    }
    Require(wh::auxfiles::ShownAuxDate(body).size() <= 10, "a date longer than MM/DD/YYYY");
}

// GET /api/claims/ID.json: the server's version for the download, and the numbers the dialogs name.
void ClaimDocument(const std::string& body)
{
    (void)wh::restore::ServerVersion(body);
    if (const auto document = wh::json::Parse(body); document && document->is_object()) {
        (void)wh::json::MemberText(*document, "claimnumber");
        (void)wh::json::MemberText(*document, "policynumber");
    }
}

// The JSON wrapper itself: whatever it reads, it writes as JSON it reads again to the same text,
// and its member readers take any member.
void JsonValue(const std::string& body)
{
    const auto value = wh::json::Parse(body);
    if (!value) {
        return;
    }
    const std::string text = wh::json::ToText(*value);
    const auto again = wh::json::Parse(text);
    Require(again.has_value(), "the text form of a read value is not JSON");
    Require(wh::json::ToText(*again) == text, "the text form changes when read again");
    if (value->is_object()) {
        for (const auto& [name, member] : value->items()) {
            (void)wh::json::MemberText(*value, name);
            const auto number = wh::json::MemberInteger(*value, name);
            if (number && member.is_number_unsigned()) {
                Require(*number >= 0, "a number beyond the 64-bit range read as another");
            }
            if (number && member.is_string()) {
                const std::string& text = member.get_ref<const std::string&>();
                Require(text.find('\0') == std::string::npos && std::to_string(*number).size() <= text.size(),
                        "a text read as a whole number it does not hold");
            }
            const auto small = wh::warehouse::GetJSONInteger(*value, name);
            Require(!small || (number && *number == *small), "two readings of one whole number disagree");
        }
    }
}

// PUT answers of the auxiliary files and the balloon text of any refusal.
void PutAnswer(const std::string& body)
{
    (void)wh::auxfiles::RefusalMessage(body);
    Require(!wh::app::AnswerForMessage(body).empty(), "an empty refusal text");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 8) {
    case 0:
        SignIn(body);
        break;
    case 1:
        ClaimList(body);
        break;
    case 2:
        Sequence(body);
        break;
    case 3:
        Search(body);
        break;
    case 4:
        AuxList(body);
        break;
    case 5:
        ClaimDocument(body);
        break;
    case 6:
        JsonValue(body);
        break;
    case 7:
        PutAnswer(body);
        break;
    }
    return 0;
}
