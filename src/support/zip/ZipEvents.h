#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace wh::zip {

// What the engine is doing with a file when it asks for confirmation or reports a failure. Only
// Add and Extract are done by this engine; the others keep the handlers' words complete.
enum class Operation { Add, Move, Delete, Update, Extract, Test };

// The word the failure texts start with: "Add: ", "Move: ", ... "Test: ".
std::string_view OperationWord(Operation operation);

// Codes handed to the failure event.
enum FailureCode : int {
    ReadFailed = 1, // a source file or a folder cannot be read
    WriteFailed = 2, // an output file or folder cannot be created or written
    UnsafeName = 3, // a member name that would leave the base folder (absolute, drive, "..")
    BadMember = 4, // stored size, checksum or compression method of a member is wrong
    TooLarge = 5, // a file the archive cannot hold without ZIP64 extensions
    DuplicateName = 6 // a second member under a name the archive already holds
};

struct Failure
{
    std::string name; // the member name
    Operation operation = Operation::Add;
    int code = 0;
    std::string message;
    int nativeError = 0; // errno or libzip's error code, 0 when there is none
};

enum class FailureAction { Skip, Abort };

// Asked before each file is processed: true processes it, false leaves it out.
using ConfirmHandler = std::function<bool(const std::string& name, Operation operation)>;
// Told when a file cannot be processed; decides whether the engine goes on with the next one.
using FailureHandler = std::function<FailureAction(const Failure& failure)>;

// Matches a member path against a mask without regard to case: "*" stands for any run of
// characters ("/" included), "?" for one character, "\" in the mask matches "/", and a mask
// ending in ".*" also takes names without an extension, as "*.*" takes every file.
bool MatchesMask(std::string_view path, std::string_view mask);

} // namespace wh::zip
