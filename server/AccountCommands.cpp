// The account commands: add or update, list, disable, enable, remove, and a new password.

#include "AccountCommands.h"

#include <iostream>

#include "ServerCrypto.h"

namespace wh::server {
namespace {

std::string AccountName(const std::string& company, const std::string& user)
{
    return company + "/" + user;
}

} // namespace

int AddUser(WarehouseStore& store, Account account, const std::string& password)
{
    account.passwordHash = HashPassword(password);
    const AccountChange change = store.SaveAccount(account);
    std::cout << (change == AccountChange::Added ? "added user " : "updated user ") << account.companyName << "/"
              << account.userName << std::endl;
    return 0;
}

int ListUsers(WarehouseStore& store)
{
    std::cout << "account\tcompany-id\tregion-id\toffice-id\tdepartment-id\tuser-id\tstate\n";
    for (const Account& account : store.ListAccounts()) {
        std::cout << AccountName(account.companyName, account.userName) << '\t' << account.companyId << '\t'
                  << account.regionId << '\t' << account.officeId << '\t' << account.departmentId << '\t'
                  << account.userId << '\t' << (account.disabled ? "disabled" : "enabled") << '\n';
    }
    std::cout << std::flush;
    return 0;
}

int NoSuchAccount(const std::string& company, const std::string& user)
{
    std::cerr << "warehouse-server: there is no account " << AccountName(company, user)
              << " (warehouse-server users list shows them)" << std::endl;
    return 1;
}

int ChangePassword(WarehouseStore& store, const std::string& company, const std::string& user,
                   const std::string& password)
{
    std::optional<Account> account = store.FindAccount(company, user);
    if (!account) {
        return NoSuchAccount(company, user);
    }
    account->passwordHash = HashPassword(password);
    store.SaveAccount(*account);
    std::cout << "changed the password of " << AccountName(account->companyName, account->userName) << std::endl;
    return 0;
}

int ChangeAccountState(WarehouseStore& store, const std::string& command, const std::string& company,
                       const std::string& user)
{
    const std::optional<Account> found = store.FindAccount(company, user);
    const bool changed = found
        && (command == "remove" ? store.RemoveAccount(company, user)
                                : store.SetAccountDisabled(company, user, command == "disable"));
    if (!changed) {
        return NoSuchAccount(company, user);
    }
    const char* done = command == "remove" ? "removed " : command == "disable" ? "disabled " : "enabled ";
    std::cout << done << AccountName(found->companyName, found->userName) << std::endl;
    return 0;
}

} // namespace wh::server
