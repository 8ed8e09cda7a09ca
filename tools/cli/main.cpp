// orvel: a command-line client of the Tavik storage service over liborvelsdk.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli.h"

namespace orvelcli {
namespace {

constexpr const char* kDescription =
    "A command-line client of the Tavik storage service.\n"
    "An ITEM is an id (all digits; the root folder is 0) or a path from the root\n"
    "starting with '/' (/photos/a.jpg).";

constexpr const char* kFooter =
    "The session is kept in ${XDG_CONFIG_HOME:-~/.config}/orvel/session.\n"
    "Environment: ORVEL_SERVER (like --server), XDG_CONFIG_HOME, XDG_CACHE_HOME, and the\n"
    "library's ORVEL_SETTINGS_FILE, ORVEL_REGISTRY_FILE, ORVEL_LOG_DIR, ORVEL_LOG_LEVEL.\n"
    "Errors print the result's name and meaning and exit with status 1\n"
    "(2 for a bad command line, 130 for a cancelled transfer).\n"
    "'orvel COMMAND --help' shows a command's arguments and an example.";

// One command's definition; its given arguments become Args after parsing.
struct Command {
    CLI::App* app = nullptr;
    int (*run)(Context&) = nullptr;
    std::vector<CLI::Option*> positionals;
    std::vector<std::pair<std::string, CLI::Option*>> options;  // "--name" -> option
    std::vector<std::pair<std::string, CLI::Option*>> flags;

    Command& Arg(const std::string& name, const std::string& meaning, bool required = true) {
        CLI::Option* o = app->add_option(name, meaning);
        if (required) o->required();
        positionals.push_back(o);
        return *this;
    }
    // `names` as CLI11 takes them ("-r,--recursive"); `key` is what commands ask for.
    Command& Value(const std::string& names, const std::string& key, const std::string& meaning) {
        options.emplace_back(key,
                             app->add_option(names, meaning)->type_name(key.substr(2) == "update" ? "ID" : "VALUE"));
        return *this;
    }
    Command& Flag(const std::string& names, const std::string& key, const std::string& meaning) {
        flags.emplace_back(key, app->add_flag(names, meaning));
        return *this;
    }
    Command& Example(const std::string& text) {
        app->footer("Example:\n  " + text);
        return *this;
    }

    void Collect(Args& args) const {
        for (CLI::Option* o : positionals)
            if (o->count() > 0) args.positional.push_back(o->as<std::string>());
        for (const auto& [key, o] : options)
            if (o->count() > 0) args.options[key] = o->as<std::string>();
        for (const auto& [key, o] : flags)
            if (o->count() > 0) args.options[key] = "";
    }
};

std::string Versions() {
    int major = 0, minor = 0, patch = 0;
    ORVEL_GetVersion(&major, &minor, &patch);
    return std::string("orvel ") + ORVEL_CLI_VERSION + " (liborvelsdk " + std::to_string(major) + "." +
           std::to_string(minor) + "." + std::to_string(patch) + ")";
}

int Run(int argc, char** argv) {
    Context ctx;
    for (int i = 1; i < argc && std::string_view(argv[i]) != "--"; ++i) {
        if (std::string_view(argv[i]) == "--json") SetJsonUsageErrors(true);
    }

    CLI::App app(kDescription, "orvel");
    app.footer(kFooter);
    // Anything not understood is collected and named below, with exit status 2.
    app.allow_extras();
    std::string server;
    bool version = false;
    app.add_option("--server", server, "use the service at HOST:PORT for this run (kept with the session at login)")
        ->type_name("HOST:PORT");
    app.add_flag("--json", ctx.json, "machine-readable output on stdout");
    app.add_flag("-q,--quiet", ctx.quiet, "no progress display and no summaries");
    app.add_flag("-v,--verbose", ctx.verbose, "say what is resolved and copied, one line each");
    app.add_flag("--version", version, "print the versions of orvel and the library");

    std::vector<Command> commands;
    auto add = [&](const char* name, const char* what, int (*run)(Context&)) -> Command& {
        Command c;
        c.app = app.add_subcommand(name, what);
        c.app->fallthrough();  // global options may come after the command too
        c.app->allow_extras();
        c.run = run;
        commands.push_back(c);
        return commands.back();
    };
    add("login", "sign in and keep the session", CmdLogin)
        .Arg("USER", "the account's user name")
        .Flag("--password-stdin", "--password-stdin", "read the password as one line from standard input")
        .Example("echo \"$PASSWORD\" | orvel --server 127.0.0.1:18750 login alice --password-stdin");
    add("relogin", "renew the session token", CmdRelogin).Example("orvel relogin");
    add("logout", "forget the session", CmdLogout).Example("orvel logout");
    add("space", "used and total storage space", CmdSpace).Example("orvel space");
    {
        Command& ls = add("ls", "list a folder", CmdList);
        // -h means human sizes here, as in ls(1); help stays --help.
        ls.app->set_help_flag("--help", "Print this help message and exit");
        ls.Arg("FOLDER", "folder id or /path (default: the root)", false)
            .Flag("-h,--human-readable", "-h", "sizes in KiB, MiB, GiB")
            .Example("orvel ls -h /photos");
    }
    add("mkdir", "create a folder, print its id", CmdMkdir)
        .Arg("PATH_OR_PARENT", "/path of the new folder, a name in the root, or the parent (id or /path)")
        .Arg("NAME", "the new folder's name when a parent is given", false)
        .Flag("-p,--parents", "-p", "make missing parents too; an existing folder is no error")
        .Example("orvel mkdir -p /photos/2024/june");
    add("rename", "rename a file or folder", CmdRename)
        .Arg("ITEM", "id or /path")
        .Arg("NAME", "the new name")
        .Example("orvel rename /photos/a.jpg b.jpg");
    add("mv", "move a file or folder into another folder", CmdMove)
        .Arg("ITEM", "id or /path")
        .Arg("FOLDER", "the new parent folder, id or /path")
        .Example("orvel mv /inbox/a.jpg /photos");
    add("rm", "delete a file or an empty folder", CmdRemove)
        .Arg("ITEM", "id or /path")
        .Flag("-r,--recursive", "-r", "delete a folder with everything in it (asks first)")
        .Flag("-y,--yes", "--yes", "do not ask before deleting a non-empty folder")
        .Example("orvel rm -r --yes /old-photos");
    add("put", "upload a file (or a folder with -r), print the new id", CmdPut)
        .Arg("LOCAL", "the local file, a folder with -r, or - for standard input")
        .Arg("REMOTE", "the destination folder (id or /path), or a /path naming the new file (default: the root)",
             false)
        .Value("--name", "--name", "the name on the service (default: LOCAL's name)")
        .Value("--update", "--update", "upload a new version of this file (id or /path) instead")
        .Flag("-r,--recursive", "-r", "copy a whole folder, as cp -r does")
        .Example("orvel put -r ./holiday /photos");
    add("get", "download a file (or a folder with -r)", CmdGet)
        .Arg("ITEM", "the file (or folder with -r), id or /path")
        .Arg("LOCAL", "the local file, an existing folder to put it in, or - for standard output")
        .Flag("--previous", "--previous", "the previous version instead of the current one")
        .Flag("-f,--force", "--force", "overwrite an existing local file")
        .Flag("-r,--recursive", "-r", "copy a whole folder, as cp -r does")
        .Example("orvel get /photos/a.jpg .");
    add("block", "inspect, decode or make an encrypted block file", CmdBlock)
        .Arg("ACTION", "info, decode or encode")
        .Arg("FILE", "the block file (info, decode) or the plain file (encode)")
        .Value("--key", "--key", "the block key, 64 hex digits (encode: default random)")
        .Value("--output", "--output", "where decode or encode writes")
        .Value("--index", "--index", "encode: the block number in FILE, from 1 (default 1)")
        .Value("--name", "--name", "encode: the file name sealed into the block")
        .Example("orvel block decode block.bmf --key KEY --output plain.bin");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return kExitOk;
    } catch (const CLI::ParseError& e) {
        return UsageError(e.what());
    }
    if (version) {
        std::cout << Versions() << "\n";
        return kExitOk;
    }
    // Whatever was left over is a mistake: name it.
    const Command* chosen = nullptr;
    for (const auto& c : commands)
        if (c.app->parsed()) chosen = &c;
    std::vector<std::string> extras = app.remaining(true);
    for (const auto& extra : extras) {
        if (extra.size() > 1 && extra[0] == '-') return UsageError("unknown option " + extra);
    }
    if (chosen == nullptr && !extras.empty() && extras[0] == "help") {
        for (const auto& c : commands)
            if (extras.size() > 1 && c.app->get_name() == extras[1]) {
                std::cout << c.app->help();
                return kExitOk;
            }
        std::cout << app.help();
        return kExitOk;
    }
    if (chosen == nullptr) {
        if (!extras.empty()) return UsageError("unknown command '" + extras[0] + "'");
        std::cerr << app.help();
        return kExitUsage;
    }
    if (!extras.empty()) return UsageError("unexpected argument '" + extras[0] + "' for " + chosen->app->get_name());
    chosen->Collect(ctx.args);

    // --server for this run, else $ORVEL_SERVER, else an explicit
    // $ORVEL_SETTINGS_FILE, else the service the session was made with.
    ctx.server = server;
    std::string error;
    if (const char* env = std::getenv("ORVEL_SERVER"); ctx.server.empty() && env != nullptr) ctx.server = env;
    if (ctx.server.empty() && std::getenv("ORVEL_SETTINGS_FILE") == nullptr) {
        if (auto s = LoadSession()) ctx.server = s->server;
    }
    if (!ctx.server.empty() && !UseServer(ctx.server, error)) return UsageError(error);
    return chosen->run(ctx);
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
