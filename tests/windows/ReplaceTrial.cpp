// replace-trial: self-replacement run for real. "replace IMAGE" hands IMAGE to the workflow's
// ReplaceSelf as the new tool and ends as the tool does; "--version" answers the trial run the
// new tool gets before it is installed; started from the backup, it finishes the replacement as
// the window program does; "AG" (how the replaced tool is started) writes its arguments, one a
// line, to the file named by KESTREL_FAKE_TOOL_LOG.
#include "FakeUI.h"
#include "SelfReplace.h"
#include "SystemText.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::string> args = ProgramArguments(argc, argv);
    if (auto status = FinishReplacement(args))
        return *status;
    args.erase(args.begin());
    if (args.size() == 1 && args[0] == "--version") {
        std::printf("replace-trial %s (update keys: 1)\n", KESTREL_VERSION);
        return 0;
    }
    if (args.size() == 2 && args[0] == "replace") {
        std::ifstream in(Utf8Path(args[1]), std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
        TMemoryStream image;
        image.Write(bytes.data(), bytes.size());
        FakeUI ui;
        std::string why;
        TReplaceOutcome outcome =
            ReplaceSelf(ui, image, RunningExecutablePath(), CurrentProcessId(), true, why);
        if (!why.empty())
            std::printf("%s\n", why.c_str());
        for (const std::string& call : ui.Calls())
            std::printf("%s\n", call.c_str());
        return outcome == TReplaceOutcome::Started && ui.Has("terminate") ? 0 : 1;
    }
    std::optional<std::string> log = EnvironmentVariable("KESTREL_FAKE_TOOL_LOG");
    if (!log)
        return 1;
    std::string text;
    for (const std::string& a : args)
        text += a + "\n";
    std::string partial = *log + ".part";
    if (std::FILE* f = OpenFile(partial, "wb")) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    std::error_code ec;
    std::filesystem::rename(Utf8Path(partial), Utf8Path(*log), ec);
    return ec ? 1 : 0;
}
