// A stand-in service that answers folder listings with names no local file
// may have ("..", "a/b"), with an id that is no number ("../../../escape-id")
// and with a folder that holds itself. Prints
// "listening on 127.0.0.1:PORT" and serves until killed.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "support/loopback_server.h"

namespace {

std::string Item(const char* type, const char* id, const char* name) {
    return std::string("<item><type>") + type + "</type><name>" + name + "</name><fileId>" + id +
           "</fileId><parentId>0</parentId><size>5</size><sha1>0123456789012345678901234567890123456789</sha1>"
           "<fileVer>1</fileVer><modTime>2024-06-01 09:05:03</modTime></item>";
}

std::string Listing(const std::string& folderId) {
    std::string items;
    if (folderId == "0") {
        items = Item("folder", "11", "..") + Item("folder", "12", "../up") + Item("file", "13", "a/b") +
                Item("file", "14", ".") + Item("folder", "15", "ok") + Item("folder", "18", "loop");
    } else if (folderId == "15") {
        items = Item("file", "16", "../../escape") + Item("folder", "17", "..");
    } else if (folderId == "19") {
        items = Item("file", "../../../escape-id", "fine.bin");
    } else if (folderId == "18") {
        items = Item("folder", "18", "loop");
    }
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><Orvel result=\"ok\"><fileId>" + folderId + "</fileId>" + items +
           "</Orvel>";
}

}  // namespace

int main() {
    orvel::testsupport::LoopbackServer server;
    server.Http().Post("/osvr/dir/", [](const httplib::Request& req, httplib::Response& res) {
        const size_t open = req.body.find("<fileId>"), close = req.body.find("</fileId>");
        const std::string id =
            open == std::string::npos || close == std::string::npos ? "0" : req.body.substr(open + 8, close - open - 8);
        res.set_content(Listing(id), "text/xml; charset=utf-8");
    });
    // Anything else the client might try is refused, so nothing is downloaded.
    server.Http().set_error_handler([](const httplib::Request&, httplib::Response& res) {
        res.status = 404;
        res.set_content("<?xml version=\"1.0\" encoding=\"utf-8\"?><Orvel result=\"clientNoMethod\"/>", "text/xml");
    });
    server.Start();
    std::printf("listening on %s\n", server.Root().c_str());
    std::fflush(stdout);
    // Serves until the test kills it.
    for (;;) ::pause();
}
