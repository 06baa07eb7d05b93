#include "WindowTexts.h"

#include "SystemText.h"
#include "VisibleText.h"
#include "Workflow.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

std::string InfoPageUrl() {
    // KESTREL_INFO_BASE_URL at run time replaces the address chosen at build time.
    std::string base = EnvironmentVariable("KESTREL_INFO_BASE_URL").value_or("");
    if (base.empty())
        base = KESTREL_INFO_BASE_URL;
    while (!base.empty() && base.back() == '/')
        base.pop_back();
    return base + "/url/QX40Info.htm";
}

std::string InfoFailureText(TInfoFailure failure) {
    switch (failure) {
    case TInfoFailure::NotFound:
        return "服务器上没有这个页面。";
    case TInfoFailure::Refused:
        return "服务器拒绝了连接。";
    case TInfoFailure::NameNotResolved:
        return "找不到服务器（无法解析服务器名称）。";
    case TInfoFailure::NoAnswer:
        return "服务器没有响应。";
    case TInfoFailure::Tls:
        return "无法建立安全连接（TLS）。";
    case TInfoFailure::Other:
        break;
    }
    return "页面无法打开。";
}

namespace {
std::string HtmlEscaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}
} // namespace

std::string InfoUnavailablePage(const std::string& url, TInfoFailure failure,
                                const std::string& detail) {
    const std::string address = HtmlEscaped(url);
    return "<html><head><meta charset=\"utf-8\"><style>"
           "body { font-family: sans-serif; margin: 12px; overflow-wrap: anywhere; "
           "word-break: break-all; }"
           "small { color: #666; }"
           "</style></head><body>"
           "<h3>设备信息暂时无法显示</h3>"
           "<p>" +
           HtmlEscaped(InfoFailureText(failure)) +
           "</p>"
           "<p>页面地址：" +
           address +
           "</p>"
           "<p><a href=\"" +
           address +
           "\">重新加载</a></p>"
           "<p>这不影响在线更新。</p>"
           "<p><small>" +
           HtmlEscaped(detail) + "</small></p></body></html>";
}

namespace {
bool AnswerVersionQuery(int argc, const char* const* argv, const std::string& usage) {
    if (argc != 2)
        return false;
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("kestrel %s (%s)\n", KestrelToolVersion, UpdateTrustText().c_str());
        std::fflush(stdout);
        return true;
    }
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::fputs(usage.c_str(), stdout);
        std::fflush(stdout);
        return true;
    }
    return false;
}

std::optional<std::string> RefusedWindowArguments(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        std::string upper = argument;
        for (char& c : upper)
            c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
        if (i == 1 && upper == "AG")
            continue;
        const std::string named = "\"" + VisibleText(argument) + "\"";
        std::string why;
        if (argument == "--help" || argument == "-h" || argument == "--version")
            why = argument + " goes alone, without other arguments";
        else if (argument.size() > 1 && argument[0] == '-')
            why = "unknown option " + named;
        else if (upper == "AG")
            why = "AG goes first, once";
        else
            why = "unexpected argument " + named + " (the window takes only AG)";
        return "kestrel: " + why + "; kestrel --help lists what it takes";
    }
    return std::nullopt;
}
} // namespace

std::optional<int> AnswerCommandLine(int argc, const char* const* argv, const std::string& usage) {
    if (AnswerVersionQuery(argc, argv, usage))
        return 0;
    if (auto refused = RefusedWindowArguments(argc, argv)) {
        std::fprintf(stderr, "%s\n", refused->c_str());
        return 2;
    }
    return std::nullopt;
}

std::string WindowInstanceName() {
    std::string name = EnvironmentVariable("KESTREL_INSTANCE").value_or("");
    for (char& c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-'))
            c = '_';
    return name.empty() ? "window" : name;
}

std::string WindowProgramUsage(const char* portsLine, const char* moreEnvironment,
                               const char* ending) {
    return std::string("Usage: kestrel [AG]\n"
                       "       kestrel --help | --version\n"
                       "\n"
                       "The window of the QX40 online upgrade. \"在线更新\" finds the device on "
                       "the serial\n") +
           portsLine +
           "\n"
           "  AG         start the upgrade by itself two seconds after start-up (any letter case)\n"
           "  --help     print this text and exit\n"
           "  --version  print the version and what the tool trusts for updates, and exit\n"
           "\n"
           "Environment:\n"
           "  KESTREL_UPDATE_HOST    host of the upgrade server (port 5001), instead of the one\n"
           "                         chosen at build time (" KESTREL_UPDATE_HOST_TEXT ")\n"
           "  KESTREL_INFO_BASE_URL  base address of the device information page (path\n"
           "                         /url/QX40Info.htm), instead of " KESTREL_INFO_BASE_URL "\n"
           "  KESTREL_INSTANCE       name of the window (letters, digits, '.', '_', '-'): one\n"
           "                         window per user and name; a second start brings it to the\n"
           "                         front and exits with status 0. Default: one window per "
           "user\n" +
           moreEnvironment + "\n" + ending;
}

int RunWindowProgram(const std::function<int()>& body) {
    try {
        return body();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kestrel: unexpected failure: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "kestrel: unexpected failure\n");
    }
    return 1;
}
