// warehouse-server: the HTTPS warehouse the workstation tool uploads claims to.
//
//   warehouse-server --data DIR --listen HOST:PORT [--cert FILE --key FILE]
//   warehouse-server --data DIR [--cert FILE] fingerprint
//   warehouse-server --data DIR add-user --company NAME --user NAME [--password PW] --company-id N
//                    --region-id N --office-id N --department-id N --user-id N
//   warehouse-server --data DIR users list|disable|enable|remove [--company NAME --user NAME]
//   warehouse-server --data DIR password --company NAME --user NAME [--password PW]
//   warehouse-server --data DIR backup DEST
//   warehouse-server --data DIR restore SRC [--force]
//   (without --password the password is read from standard input, so that it never shows in the
//   process list; typed on a terminal it is not echoed and asked twice)
//   --config FILE takes the options above the subcommands from a file, one "key = value" a line.

#include <CLI/CLI.hpp>

#include <iostream>
#include <map>
#include <memory>
#include <sys/stat.h>

#include "AccountCommands.h"
#include "Backup.h"
#include "ConfigFile.h"
#include "DataFolder.h"
#include "HttpFrontEnd.h"
#include "PasswordInput.h"
#include "ServeCommand.h"
#include "WarehouseServer.h"
#include "WarehouseStore.h"
#include "support/version/Version.h"

using namespace wh::server;

int main(int argc, char** argv)
{
    CLI::App app { "warehouse-server: the HTTPS warehouse for the claims upload tool" };
    app.set_version_flag("--version", wh::version::VersionLine("warehouse-server"), "print the version and exit");
    std::string configPath;
    app.add_option("--config", configPath,
                   "file of options, one \"key = value\" a line (keys: the long options without --)");
    std::string dataDir;
    std::string listen;
    std::string certPath;
    std::string keyPath;
    app.add_option("--data", dataDir, "data folder (created on first start)");
    app.add_option("--listen", listen, "address to serve, HOST:PORT (port 0 picks a free port)");
    app.add_option("--cert", certPath, "certificate file (PEM) instead of the generated one");
    app.add_option("--key", keyPath, "private key file (PEM) for --cert");
    std::string database;
    app.add_option("--database", database,
                   "records in PostgreSQL (postgresql://...) instead of DATA/warehouse.db; several servers may "
                   "share one database and one data folder");
    ServerLimits limits;
    app.add_option("--max-archive-bytes", limits.maxArchiveBytes,
                   "largest claim archive or auxiliary file taken (default 2 GiB)")
        ->check(CLI::Range(std::uint64_t { 22 }, std::uint64_t { 0xFFFFFFFFu }));
    app.add_option("--max-unused-claim-ids", limits.maxUnusedClaimIds,
                   "claim ids a company may hold with nothing stored under them (default 1000)")
        ->check(CLI::Range(std::int64_t { 1 }, std::int64_t { 1'000'000 }));
    ConnectionLimits connectionLimits;
    app.add_option("--max-connections", connectionLimits.maxConnections, "connections served at once (default 512)")
        ->check(CLI::Range(1u, 100000u));
    app.add_option("--max-connections-per-address", connectionLimits.maxConnectionsPerAddress,
                   "connections served at once from one client address (default 128)")
        ->check(CLI::Range(1u, 100000u));
    app.add_option("--max-buffered-body-bytes", connectionLimits.maxBufferedBodyBytes,
                   "memory all JSON bodies being received may hold together; one user or address an eighth of it "
                   "(default 64 MiB)")
        ->check(CLI::Range(std::uint64_t { 1 } << 20, std::uint64_t { 1 } << 40));
    app.add_option("--trusted-proxy", connectionLimits.trustedProxy,
                   "address of a reverse proxy in front of the server, whose X-Forwarded-For names the client");

    Account account;
    std::string password;
    CLI::App* addUser = app.add_subcommand("add-user", "add an account, or update an existing one");
    addUser->add_option("--company", account.companyName, "company name")->required();
    addUser->add_option("--user", account.userName, "user name")->required();
    CLI::Option* passwordOption
        = addUser->add_option("--password", password, "password (read from standard input when not given)");
    addUser->add_option("--company-id", account.companyId, "company id")->required();
    addUser->add_option("--region-id", account.regionId, "region id")->required();
    addUser->add_option("--office-id", account.officeId, "office id")->required();
    addUser->add_option("--department-id", account.departmentId, "department id")->required();
    addUser->add_option("--user-id", account.userId, "the user's id on the server")->required();

    std::string company;
    std::string user;
    CLI::App* users = app.add_subcommand("users", "list the accounts, or disable, enable or remove one");
    users->require_subcommand(1);
    CLI::App* listUsers = users->add_subcommand("list", "list every account, one a line");
    std::map<std::string, CLI::App*> accountCommands;
    for (const auto& [name, what] :
         { std::pair { "disable", "refuse the account's sign-ins from now on (its claims stay)" },
           std::pair { "enable", "let a disabled account sign in again" },
           std::pair { "remove", "remove the account; the claims it stored stay its company's" } }) {
        CLI::App* command = users->add_subcommand(name, what);
        command->add_option("--company", company, "company name")->required();
        command->add_option("--user", user, "user name")->required();
        accountCommands[name] = command;
    }
    CLI::App* passwordCommand = app.add_subcommand("password", "change the password of an account");
    passwordCommand->add_option("--company", company, "company name")->required();
    passwordCommand->add_option("--user", user, "user name")->required();
    CLI::Option* newPasswordOption = passwordCommand->add_option(
        "--password", password, "the new password (read from standard input when not given)");

    std::string backupFolder;
    CLI::App* backup = app.add_subcommand(
        "backup", "copy the records and the store to a new or empty folder, also while the server runs");
    backup->add_option("DEST", backupFolder, "folder for the backup")->required();
    std::string restoreFolder;
    bool force = false;
    CLI::App* restore = app.add_subcommand("restore", "restore a backup into an empty or new data folder");
    restore->add_option("SRC", restoreFolder, "folder of the backup")->required();
    restore->add_flag("--force", force, "replace what the data folder (and database) already hold");
    CLI::App* fingerprint = app.add_subcommand(
        "fingerprint", "print the SHA-256 of the certificate's public key, as the workstations show it");
    CLI11_PARSE(app, argc, argv);

    try {
        if (!configPath.empty()) {
            ApplyConfigFile(app, configPath);
        }
    } catch (const std::exception& error) {
        std::cerr << "warehouse-server: " << error.what() << std::endl;
        return 2;
    }
    if (dataDir.empty()) {
        std::cerr << "warehouse-server: --data DIR is needed (on the command line or in the configuration file)\n";
        return 2;
    }

    if (fingerprint->parsed()) {
        try {
            return PrintCertificateFingerprint(dataDir, certPath);
        } catch (const std::exception& error) {
            std::cerr << "warehouse-server: " << error.what() << std::endl;
            return 1;
        }
    }

    ::umask(077);
    try {
        if (restore->parsed()) {
            return Restore(dataDir, database, restoreFolder, force);
        }
        if (backup->parsed()) {
            return Backup(dataDir, database, backupFolder);
        }
        MakePrivateDataFolder(dataDir);
        if (addUser->parsed() && passwordOption->count() == 0) {
            password = ReadPasswordFromInput();
        }
        const std::unique_ptr<WarehouseStore> opened = OpenWarehouseStore(database, dataDir);
        WarehouseStore& store = *opened;
        if (addUser->parsed()) {
            return AddUser(store, account, password);
        }
        if (passwordCommand->parsed()) {
            // Nobody types a new password twice for an account that is not there.
            if (!store.FindAccount(company, user)) {
                return NoSuchAccount(company, user);
            }
            if (newPasswordOption->count() == 0) {
                password = ReadPasswordFromInput();
            }
            return ChangePassword(store, company, user, password);
        }
        if (listUsers->parsed()) {
            return ListUsers(store);
        }
        for (const auto& [name, command] : accountCommands) {
            if (command->parsed()) {
                return ChangeAccountState(store, name, company, user);
            }
        }
        if (listen.empty()) {
            std::cerr << "warehouse-server: --listen HOST:PORT is needed to serve (or use a command: add-user, "
                         "users, password, backup, restore, fingerprint)\n";
            return 2;
        }
        return Serve(store, dataDir, listen, certPath, keyPath, limits, connectionLimits);
    } catch (const std::exception& error) {
        std::cerr << "warehouse-server: " << error.what() << std::endl;
        return 1;
    }
}
