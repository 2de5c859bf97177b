#include "warehouse/WarehouseTrans.h"

#include <cerrno>
#include <cstdio>
#include <limits>
#include <memory>

#include "env/WarehouseFuncs.h"
#include "support/platform/Paths.h"

namespace wh::warehouse {
namespace {

using Kind = RequestOutcome::Kind;

std::string HttpFailureText(const std::string& prefix, const RequestOutcome& outcome)
{
    return prefix + std::to_string(outcome.failureCode) + "\r\n" + outcome.failureText;
}

std::string UploadsPath(WarehouseSession& session, const std::string& fileName)
{
    return platform::JoinPath(session.Env().ClaimsPath("Warehouse/Uploads"), fileName);
}

// The sign-in and the claim list read a refusal (401, 407) as an answer, but for a transfer of an
// archive a refusal means nothing was moved: it fails like any other status of 400 or more.
RequestOutcome SendTransfer(WarehouseSession& session, const RequestSpec& call)
{
    RequestOutcome outcome = session.Send(call);
    if (outcome.IsSuccess() && (outcome.status == 401 || outcome.status == 407)) {
        outcome.kind = Kind::HttpFailure;
        outcome.failureCode = static_cast<int>(outcome.status);
        outcome.failureText = outcome.reason;
    }
    return outcome;
}

} // namespace

std::string Authenticate(WarehouseSession& session)
{
    const RequestOutcome outcome = session.Send(RequestSpec::Get("/api/status"));
    switch (outcome.kind) {
    case Kind::Success:
        return outcome.body;
    case Kind::HttpFailure:
        session.SetLastServerMessage(HttpFailureText("Error Code : ", outcome));
        return "500";
    case Kind::OtherFailure:
        session.SetLastServerMessage(outcome.message);
        session.WriteFailureLog("Authenticate.txt", "~~~~~Authentication INFORMATION", outcome.message);
        return "400";
    }
    return "400";
}

std::string GetClaimList(WarehouseSession& session)
{
    const RequestOutcome outcome = session.Send(RequestSpec::Get("/api/claims/"));
    switch (outcome.kind) {
    case Kind::Success:
        return outcome.body;
    case Kind::HttpFailure:
        session.SetLastServerMessage(HttpFailureText("Internet Error Code : ", outcome));
        return "500";
    case Kind::OtherFailure:
        session.SetLastServerMessage("Error : " + outcome.message);
        session.WriteFailureLog("GetClaimList.txt", "~~~~~Claim List INFORMATION", outcome.message);
        return "400";
    }
    return "400";
}

std::string GetClaimSequences(WarehouseSession& session)
{
    const RequestOutcome outcome
        = session.Send(RequestSpec::Post("/api/sequences/claims", http::RequestBody::FromText("")));
    if (outcome.IsSuccess()) {
        return outcome.body;
    }
    session.WriteFailureLog("Seq_Claims.txt", "~~~~~Claim Sequence INFORMATION", outcome.FailureMessage());
    return {};
}

std::string GetClaimJSONData(WarehouseSession& session, const std::string& id)
{
    const RequestOutcome outcome = session.Send(RequestSpec::Get("/api/claims/" + id + ".json"));
    if (outcome.IsSuccess()) {
        return outcome.body;
    }
    session.WriteFailureLog("GetClaimJSONData.txt", "~~~~~Claim JSON INFORMATION", outcome.FailureMessage());
    return {};
}

std::string GetClaimFile(WarehouseSession& session, const std::string& id)
{
    const std::string target = platform::JoinPath(session.Env().ClaimsPath("Warehouse/Downloads"), id + ".kvz");
    const RequestOutcome outcome = SendTransfer(session, RequestSpec::Download("/api/claims/" + id + ".kvz", target));
    if (!outcome.IsSuccess()) {
        // A download file that cannot be written is this disk's failure, not the server's.
        if (outcome.kind == RequestOutcome::Kind::OtherFailure) {
            throw FileError(outcome.FailureMessage());
        }
        throw RequestFailure(outcome.FailureMessage());
    }
    return id;
}

std::string PutClaimFile(WarehouseSession& session, const std::string& id, const std::string& archivePath)
{
    const RequestOutcome outcome = SendTransfer(
        session, RequestSpec::Put("/api/claims/" + id + ".kvz", http::RequestBody::FromFile(archivePath)));
    if (outcome.IsSuccess()) {
        return outcome.body;
    }
    session.WriteFailureLog("PutClaimLog.txt", "~~~~~Claim Upload Dat " + archivePath, outcome.FailureMessage());
    return {};
}

std::string PutClaimJSON(WarehouseSession& session, const std::string& id, const std::string& document)
{
    const std::string copy = UploadsPath(session, id + ".json");
    RequestSpec call = RequestSpec::Put("/api/claims/" + id + ".json", http::RequestBody::FromFile(copy));
    call.prepare = [&copy, &document] { env::WriteFileOrRaise(copy, document); };
    const RequestOutcome outcome = session.Send(call);
    if (outcome.IsSuccess()) {
        if (outcome.status == 200) {
            return outcome.body;
        }
        session.SetLastServerMessage(outcome.body);
        return {};
    }
    session.SetLastServerMessage(outcome.FailureMessage());
    session.WriteFailureLog("PutJSONLog.txt", "~~~~~Claim JSON DATA " + id, outcome.FailureMessage());
    return {};
}

std::string SearchClaims(WarehouseSession& session, const std::string& query)
{
    const std::string copy = UploadsPath(session, "ClaimSearch.json");
    RequestSpec call = RequestSpec::Post("/api/claims/search", http::RequestBody::FromFile(copy));
    call.prepare = [&copy, &query] { env::WriteFileOrRaise(copy, query); };
    const RequestOutcome outcome = session.Send(call);
    switch (outcome.kind) {
    case Kind::Success:
        return outcome.body;
    case Kind::HttpFailure:
        return HttpFailureText("Error Code : ", outcome);
    case Kind::OtherFailure:
        session.WriteFailureLog("PostClaimSearchLog.txt", "~~~~~Claim JSON DATA ", outcome.message);
        return {};
    }
    return {};
}

std::string AuxGetList(WarehouseSession& session)
{
    session.SetLastServerMessage("");
    const RequestOutcome outcome = session.Send(RequestSpec::Get("/api/aux/"));
    switch (outcome.kind) {
    case Kind::Success:
        return outcome.body;
    case Kind::HttpFailure:
        session.SetLastServerMessage(HttpFailureText("Error Code : ", outcome));
        return {};
    case Kind::OtherFailure:
        session.WriteFailureLog("AuxListFiles.txt", "~~~~~AuxListFiles INFORMATION", outcome.message);
        session.SetLastServerMessage(outcome.message);
        return {};
    }
    return {};
}

std::string AuxGetFile(WarehouseSession& session, const std::string& path, const std::string& code)
{
    session.SetLastServerMessage("");
    const RequestOutcome outcome = SendTransfer(session, RequestSpec::Download("/api/aux/" + code, path));
    switch (outcome.kind) {
    case Kind::Success:
        return "ok";
    case Kind::HttpFailure:
        session.SetLastServerMessage(HttpFailureText("Error Code : ", outcome));
        return {};
    case Kind::OtherFailure:
        session.SetLastServerMessage(outcome.message);
        session.WriteFailureLog("AuxGetFiles.txt", "~~~~~AuxGetFiles INFORMATION", outcome.message);
        return {};
    }
    return {};
}

std::string AuxPutFile(WarehouseSession& session, const std::string& path, const std::string& code)
{
    session.SetLastServerMessage("");
    const RequestOutcome outcome
        = SendTransfer(session, RequestSpec::Put("/api/aux/" + code, http::RequestBody::FromFile(path)));
    switch (outcome.kind) {
    case Kind::Success:
        return outcome.body.find("Successfully") != std::string::npos ? std::string("ok") : outcome.body;
    case Kind::HttpFailure:
        session.SetLastServerMessage(HttpFailureText("Error Code : ", outcome));
        return {};
    case Kind::OtherFailure:
        session.SetLastServerMessage(outcome.message);
        session.WriteFailureLog("AuxPutFiles.txt", "~~~~~AuxPutFiles INFORMATION", outcome.message);
        return {};
    }
    return {};
}

std::optional<std::int32_t> GetJSONInteger(const nlohmann::ordered_json& object, const std::string& key)
{
    if (!object.is_object()) {
        return std::nullopt;
    }
    const auto member = object.find(key);
    if (member == object.end()) {
        return std::nullopt;
    }
    if (member->is_number_unsigned()) {
        const auto value = member->get<std::uint64_t>();
        if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
            return std::nullopt;
        }
        return static_cast<std::int32_t>(value);
    }
    if (member->is_number_integer()) {
        const auto value = member->get<std::int64_t>();
        if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max()) {
            return std::nullopt;
        }
        return static_cast<std::int32_t>(value);
    }
    return std::nullopt;
}

} // namespace wh::warehouse
