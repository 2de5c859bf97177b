#include "auxfiles/Bld_Claim_File.h"

#include "support/text/StringUtil.h"

namespace wh {
namespace {

// The extension with its dot, as the Windows file routines give it: from the last dot of the
// bare name, empty when there is none.
std::string_view Extension(std::string_view bareName)
{
    const std::size_t dot = bareName.rfind('.');
    return dot == std::string_view::npos ? std::string_view() : bareName.substr(dot);
}

// Both engines call their handlers through these adapters, so the handlers keep the form of
// their described events (answer and action as out parameters).
template <typename Owner, typename Handler> zip::ConfirmHandler ConfirmAdapter(Owner* owner, Handler handler)
{
    return [owner, handler](const std::string& name, zip::Operation operation) {
        bool confirm = true;
        (owner->*handler)(name, operation, confirm);
        return confirm;
    };
}

template <typename Owner, typename Handler> zip::FailureHandler FailureAdapter(Owner* owner, Handler handler)
{
    return [owner, handler](const zip::Failure& failure) {
        zip::FailureAction action = zip::FailureAction::Abort;
        (owner->*handler)(failure.name, failure.operation, failure.nativeError, failure.code, failure.message, action);
        return action;
    };
}

} // namespace

std::string_view BareFileName(std::string_view name)
{
    const std::size_t separator = name.find_last_of("/\\");
    return separator == std::string_view::npos ? name : name.substr(separator + 1);
}

bool IsLockOrLogFile(std::string_view fileName)
{
    const std::string name = text::UpperCase(BareFileName(fileName));
    const std::string_view extension = Extension(name);
    return name.find("LOCKOUT.TXT") != std::string::npos || name.find("ERRORLOG.TXT") != std::string::npos
        || extension == ".LCK" || extension == ".NET";
}

} // namespace wh

namespace wh::auxfiles {

std::string FailureRecord(const std::string& fileName, zip::Operation operation, int errorCode,
                          const std::string& errorMessage)
{
    return std::string(zip::OperationWord(operation)) + std::to_string(errorCode) + " : " + errorMessage + "\r\n"
        + fileName;
}

TNewZip::TNewZip(std::string archivePath)
    : ZipWriter(std::move(archivePath))
{
    SetConfirmHandler(ConfirmAdapter(this, &TNewZip::ZipConfirmProcessFile));
    SetFailureHandler(FailureAdapter(this, &TNewZip::ZipProcessFileFailure));
}

void TNewZip::ZipConfirmProcessFile(const std::string& fileName, zip::Operation operation, bool& confirm) const
{
    if (operation == zip::Operation::Add && IsLockOrLogFile(fileName)) {
        confirm = false;
    }
}

void TNewZip::ZipProcessFileFailure(const std::string& fileName, zip::Operation operation, int /*nativeError*/,
                                    int errorCode, const std::string& errorMessage, zip::FailureAction& action)
{
    Failed = true;
    FailureText = FailureRecord(fileName, operation, errorCode, errorMessage);
    action = zip::FailureAction::Skip;
}

TNewUnZip::TNewUnZip(std::string archivePath)
    : ZipReader(std::move(archivePath))
{
    SetConfirmHandler(ConfirmAdapter(this, &TNewUnZip::UnZipConfirmProcessFile));
    SetFailureHandler(FailureAdapter(this, &TNewUnZip::UnZipProcessFileFailure));
}

void TNewUnZip::UnZipConfirmProcessFile(const std::string& fileName, zip::Operation operation, bool& confirm) const
{
    if (operation == zip::Operation::Extract && IsLockOrLogFile(fileName)) {
        confirm = false;
    }
}

void TNewUnZip::UnZipProcessFileFailure(const std::string& fileName, zip::Operation operation, int /*nativeError*/,
                                        int errorCode, const std::string& errorMessage, zip::FailureAction& action)
{
    Failed = true;
    FailureText = FailureRecord(fileName, operation, errorCode, errorMessage);
    action = zip::FailureAction::Skip;
}

} // namespace wh::auxfiles

namespace wh::restore {

TNewUnZip::TNewUnZip(std::string archivePath)
    : ZipReader(std::move(archivePath))
{
    SetConfirmHandler(ConfirmAdapter(this, &TNewUnZip::UnZipConfirmProcessFile));
    SetFailureHandler(FailureAdapter(this, &TNewUnZip::UnZipProcessFileFailure));
}

void TNewUnZip::UnZipConfirmProcessFile(const std::string& fileName, zip::Operation operation, bool& confirm) const
{
    if (operation == zip::Operation::Extract && IsLockOrLogFile(fileName)) {
        confirm = false;
    }
}

void TNewUnZip::UnZipProcessFileFailure(const std::string& fileName, zip::Operation /*operation*/, int /*nativeError*/,
                                        int errorCode, const std::string& errorMessage, zip::FailureAction& action)
{
    const std::string bare = text::UpperCase(BareFileName(fileName));
    if (errorCode == zip::BadMember && (bare == "IMAGE.MB" || bare == "SCNDOC.MB")) {
        action = zip::FailureAction::Skip;
        return;
    }
    action = zip::FailureAction::Abort;
    ExtractFailed = true;
    if ((errorCode == zip::WriteFailed || errorCode == zip::ReadFailed) && LocalFailure.empty()) {
        LocalFailure = errorMessage;
    }
}

} // namespace wh::restore
