#pragma once

#include <string>

#include "WarehouseStore.h"

namespace wh::server {

// The account commands of the command line. Each prints what it did and returns the exit code.

int AddUser(WarehouseStore& store, Account account, const std::string& password);
int ListUsers(WarehouseStore& store);
// "there is no account ..." on standard error; exit code 1.
int NoSuchAccount(const std::string& company, const std::string& user);
int ChangePassword(WarehouseStore& store, const std::string& company, const std::string& user,
                   const std::string& password);
// `command` is "disable", "enable" or "remove".
int ChangeAccountState(WarehouseStore& store, const std::string& command, const std::string& company,
                       const std::string& user);

} // namespace wh::server
