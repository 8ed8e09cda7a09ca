// orvel: a command-line client of the Tavik storage service over liborvelsdk.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <set>
#include <string>
#include <string_view>

#include "cli.h"

namespace orvelcli {
namespace {

constexpr const char* kHelp =
    "usage: orvel [--server HOST:PORT] [--json] COMMAND [ARGS]\n"
    "\n"
    "Account\n"
    "  login USER [--password-stdin]   sign in; the session is kept in\n"
    "                                  ${XDG_CONFIG_HOME:-~/.config}/orvel/session\n"
    "  relogin                         renew the session token\n"
    "  logout                          forget the session\n"
    "  space                           used and total storage space\n"
    "Items (the root folder's id is 0)\n"
    "  ls [FOLDER_ID]                  list a folder\n"
    "  mkdir [PARENT_ID] NAME          create a folder, print its id\n"
    "  rename ID NAME                  rename a file or folder\n"
    "  mv ID PARENT_ID                 move a file or folder\n"
    "  rm ID                           delete a file or an empty folder\n"
    "Transfers (Ctrl-C cancels)\n"
    "  put LOCAL [PARENT_ID] [--name NAME]   upload a new file, print its id\n"
    "  put LOCAL --update ID                 upload a new version of a file\n"
    "  get ID LOCAL [--previous]             download the current (or previous) version\n"
    "Block files\n"
    "  block info FILE                       header fields of an encrypted block file\n"
    "  block decode FILE --key KEY --output OUT\n"
    "  block encode FILE [--index N] [--key KEY] [--name NAME] --output OUT\n"
    "\n"
    "Options\n"
    "  --server HOST:PORT   use this service for this run (kept with the session at login)\n"
    "  --json               machine-readable output on stdout\n"
    "Environment: ORVEL_SERVER (like --server), XDG_CONFIG_HOME, and the library's\n"
    "ORVEL_SETTINGS_FILE, ORVEL_REGISTRY_FILE, ORVEL_LOG_DIR, ORVEL_LOG_LEVEL.\n"
    "\n"
    "Errors print the result's name and meaning and exit with status 1\n"
    "(2 for a bad command line, 130 for a cancelled transfer).\n";

const std::set<std::string> kValueOptions = {"--server", "--name", "--update", "--key", "--output", "--index"};
const std::set<std::string> kFlagOptions = {"--json", "--password-stdin", "--previous", "--help", "-h"};

bool ParseArgs(int argc, char** argv, std::string& command, Args& args, std::string& error) {
  bool optionsDone = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!optionsDone && arg == "--") {
      optionsDone = true;
    } else if (!optionsDone && kValueOptions.count(arg) != 0) {
      if (i + 1 >= argc) {
        error = arg + " wants a value";
        return false;
      }
      args.options[arg] = argv[++i];
    } else if (!optionsDone && kFlagOptions.count(arg) != 0) {
      args.options[arg] = "";
    } else if (!optionsDone && arg.size() > 1 && arg[0] == '-') {
      error = "unknown option " + arg;
      return false;
    } else if (command.empty()) {
      command = arg;
    } else {
      args.positional.push_back(arg);
    }
  }
  return true;
}

int Run(int argc, char** argv) {
  Context ctx;
  std::string command, error;
  for (int i = 1; i < argc && std::string_view(argv[i]) != "--"; ++i) {
    if (std::string_view(argv[i]) == "--json") SetJsonUsageErrors(true);
  }
  if (!ParseArgs(argc, argv, command, ctx.args, error)) return UsageError(error);
  if (command.empty() || command == "help" || ctx.args.Has("--help") || ctx.args.Has("-h")) {
    std::fputs(kHelp, stdout);
    return command.empty() && !ctx.args.Has("--help") && !ctx.args.Has("-h") ? kExitUsage : kExitOk;
  }
  ctx.json = ctx.args.Has("--json");

  // --server for this run, else $ORVEL_SERVER, else an explicit
  // $ORVEL_SETTINGS_FILE, else the service the session was made with.
  ctx.server = ctx.args.Get("--server");
  if (const char* env = std::getenv("ORVEL_SERVER"); ctx.server.empty() && env != nullptr) ctx.server = env;
  if (ctx.server.empty() && std::getenv("ORVEL_SETTINGS_FILE") == nullptr) {
    if (auto s = LoadSession()) ctx.server = s->server;
  }
  if (!ctx.server.empty() && !UseServer(ctx.server, error)) return UsageError(error);

  if (command == "login") return CmdLogin(ctx);
  if (command == "relogin") return CmdRelogin(ctx);
  if (command == "logout") return CmdLogout(ctx);
  if (command == "space") return CmdSpace(ctx);
  if (command == "ls") return CmdList(ctx);
  if (command == "mkdir") return CmdMkdir(ctx);
  if (command == "rename") return CmdRename(ctx);
  if (command == "mv") return CmdMove(ctx);
  if (command == "rm") return CmdRemove(ctx);
  if (command == "put") return CmdPut(ctx);
  if (command == "get") return CmdGet(ctx);
  if (command == "block") return CmdBlock(ctx);
  return UsageError("unknown command '" + command + "'");
}

}  // namespace
}  // namespace orvelcli

int main(int argc, char** argv) {
  try {
    return orvelcli::Run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "orvel: " << e.what() << "\n";
    return orvelcli::kExitFailure;
  }
}
