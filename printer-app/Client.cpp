#include "printer-app/Client.h"

#include <pappl/pappl.h>
#include <unistd.h>

#include <cups/cups.h>

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "cli-common/ExitCode.h"
#include "printer-app/Drivers.h"
#include "printer-app/Printing.h"

namespace printer_app {
namespace {

struct HttpClose {
    void operator()(http_t* http) const { httpClose(http); }
};
struct IppDelete {
    void operator()(ipp_t* ipp) const { ippDelete(ipp); }
};
using Http = std::unique_ptr<http_t, HttpClose>;
using Ipp = std::unique_ptr<ipp_t, IppDelete>;

struct Connection {
    Http http;
    std::string resource;    // /ipp/print[/NAME]
    std::string printerUri;  // ipp://HOST:PORT/ipp/print[/NAME]
    std::string where;       // what was reached, for messages
};

std::optional<Connection> Connect(const ClientTarget& target, std::ostream& err, int* code) {
    std::string host;
    int port = 0;
    if (target.uri.empty()) {
        host = LocalServerSocket(target.program, static_cast<unsigned>(::getuid()));
    } else {
        char scheme[32], user[256], h[256], resource[1024];
        if (httpSeparateURI(HTTP_URI_CODING_ALL, target.uri.c_str(), scheme, sizeof scheme, user, sizeof user, h,
                            sizeof h, &port, resource, sizeof resource) < HTTP_URI_STATUS_OK ||
            (std::string(scheme) != "ipp" && std::string(scheme) != "ipps")) {
            err << target.program << ": -u needs an ipp://HOST:PORT/ URI, not " << target.uri << "\n";
            *code = cli::kUsage;
            return std::nullopt;
        }
        host = h;
    }
    Connection c;
    c.where = port ? host + ":" + std::to_string(port) : host;
    c.http.reset(httpConnect2(host.c_str(), port, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_IF_REQUESTED, 1, 10000, nullptr));
    if (!c.http) {
        err << target.program << ": no server at " << c.where << " (start it with '" << target.program
            << " server')\n";
        *code = cli::kUnreachable;
        return std::nullopt;
    }
    char uri[1024];
    c.resource = target.printer.empty() ? "/ipp/print" : "/ipp/print/" + target.printer;
    httpAssembleURI(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, port ? host.c_str() : "localhost",
                    port ? port : 0, c.resource.c_str());
    c.printerUri = uri;
    return c;
}

Ipp Request(ipp_op_t op, const Connection& c) {
    Ipp request(ippNewRequest(op));
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, c.printerUri.c_str());
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    return request;
}

// The server's answer, or nullopt with the reason written and *code set.
Ipp Send(const Connection& c, Ipp request, const std::string& what, const ClientTarget& target,
         std::ostream& err, int* code, const std::vector<std::uint8_t>* document = nullptr) {
    const std::string& resource = c.resource;
    Ipp response;
    if (document) {
        // The document goes out from a file, as CUPS's own clients send one.
        char path[1024];
        const int fd = cupsTempFd(path, sizeof path);
        const bool written = fd >= 0 && ::write(fd, document->data(), document->size()) ==
                                            static_cast<ssize_t>(document->size());
        if (fd >= 0) ::close(fd);
        if (written) response.reset(cupsDoFileRequest(c.http.get(), request.release(), resource.c_str(), path));
        if (fd >= 0) ::unlink(path);
        if (!written) {
            err << target.program << ": cannot write a temporary file for " << what << "\n";
            *code = cli::kLocalFailure;
            return nullptr;
        }
    } else {
        response.reset(cupsDoRequest(c.http.get(), request.release(), resource.c_str()));
    }
    const ipp_status_t status = response ? ippGetStatusCode(response.get()) : cupsLastError();
    if (!response || status > IPP_STATUS_OK_CONFLICTING) {
        const std::string printer = target.printer.empty() ? "the default printer" : target.printer;
        err << target.program << ": " << what << " on " << printer << " failed: " << cupsLastErrorString() << "\n";
        *code = status == IPP_STATUS_ERROR_NOT_FOUND ? cli::kUnreachable : cli::kPrinterFailed;
        return nullptr;
    }
    return response;
}

std::string StringOf(ipp_t* ipp, const char* name) {
    ipp_attribute_t* a = ippFindAttribute(ipp, name, IPP_TAG_ZERO);
    const char* value = a ? ippGetString(a, 0, nullptr) : nullptr;
    return value ? value : "";
}

// printer-state-reasons as the test page words them.
pappl_preason_t ReasonsIn(ipp_t* ipp) {
    static const std::pair<const char*, pappl_preason_t> bits[] = {
        {"offline", PAPPL_PREASON_OFFLINE},      {"media-empty", PAPPL_PREASON_MEDIA_EMPTY},
        {"media-low", PAPPL_PREASON_MEDIA_LOW},  {"cover-open", PAPPL_PREASON_COVER_OPEN},
        {"media-jam", PAPPL_PREASON_MEDIA_JAM},  {"door-open", PAPPL_PREASON_DOOR_OPEN},
        {"other", PAPPL_PREASON_OTHER},
    };
    unsigned reasons = PAPPL_PREASON_NONE;
    ipp_attribute_t* a = ippFindAttribute(ipp, "printer-state-reasons", IPP_TAG_KEYWORD);
    for (int i = 0; a && i < ippGetCount(a); ++i) {
        std::string keyword = ippGetString(a, i, nullptr);
        for (const char* suffix : {"-error", "-warning", "-report"})
            if (keyword.size() > std::string(suffix).size() &&
                keyword.compare(keyword.size() - std::string(suffix).size(), std::string::npos, suffix) == 0)
                keyword.resize(keyword.size() - std::string(suffix).size());
        for (const auto& [name, bit] : bits)
            if (keyword == name) reasons |= bit;
    }
    return static_cast<pappl_preason_t>(reasons);
}

}  // namespace

std::string LocalServerSocket(const std::string& program, unsigned uid) {
    if (uid == 0) return "/run/" + program + ".sock";
    return std::string(papplGetTempDir()) + "/" + program + std::to_string(uid) + ".sock";
}

int RootNeedsRunningServer(const std::string& program, std::ostream& err) {
    const std::string socket = LocalServerSocket(program, 0);
    if (Http(httpConnect2(socket.c_str(), 0, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_NEVER, 1, 10000, nullptr)))
        return cli::kDone;
    err << program << ": no server at " << socket << "; as root this program does not start one"
        << " (start the service, systemctl start receipt-printer-app, or run '" << program << " server')\n";
    return cli::kUnreachable;
}

int IdentifyCommand(const ClientTarget& target, std::ostream& out, std::ostream& err) {
    int code = cli::kDone;
    const auto c = Connect(target, err, &code);
    if (!c) return code;
    Ipp request = Request(IPP_OP_IDENTIFY_PRINTER, *c);
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "identify-actions", nullptr, "display");
    if (!Send(*c, std::move(request), "identify", target, err, &code)) return code;
    out << (target.printer.empty() ? "default printer" : target.printer) << ": identify sent\n";
    return cli::kDone;
}

int TestPageCommand(const ClientTarget& target, std::ostream& out, std::ostream& err) {
    int code = cli::kDone;
    const auto c = Connect(target, err, &code);
    if (!c) return code;
    Ipp query = Request(IPP_OP_GET_PRINTER_ATTRIBUTES, *c);
    static const char* const wanted[] = {"printer-name", "printer-state-reasons", "printer-make-and-model"};
    ippAddStrings(query.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  static_cast<int>(std::size(wanted)), nullptr, wanted);
    const Ipp printer = Send(*c, std::move(query), "reading the printer", target, err, &code);
    if (!printer) return code;

    TestPageFacts facts;
    facts.printer = StringOf(printer.get(), "printer-name");
    // A printer's make and model is its driver's description.
    const std::string model = StringOf(printer.get(), "printer-make-and-model");
    for (int i = 0; i < DriverCount(); ++i)
        if (model == DriverTable()[i].description) facts.driver = DriverTable()[i].name;
    facts.status = ReasonsText(ReasonsIn(printer.get()));
    facts.dpi = kDpi;
    if (const auto d = DriverNamed(facts.driver)) {
        facts.paperMm = d->paperMm;
        facts.headDots = d->headDots;
    }
    const std::vector<std::uint8_t> page = TestPageBytes(facts);

    Ipp job = Request(IPP_OP_PRINT_JOB, *c);
    ippAddString(job.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, "Test page");
    ippAddString(job.get(), IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, kRawFormat);
    const Ipp answer = Send(*c, std::move(job), "printing the test page", target, err, &code, &page);
    if (!answer) return code;
    ipp_attribute_t* id = ippFindAttribute(answer.get(), "job-id", IPP_TAG_INTEGER);
    out << facts.printer << ": test page is job " << (id ? ippGetInteger(id, 0) : 0) << "\n";
    return cli::kDone;
}

}  // namespace printer_app
