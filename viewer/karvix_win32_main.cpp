// Karvix.exe: watches the logger's capture file and shows its measured records.
// Command line: the path of the capture file (E:\temp.pd without one), or
// --help or --version.
#include <string>
#include <vector>

#include "karvix_win32.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show)
{
    // The place table lies beside the program's own file.
    std::vector<char> path(MAX_PATH);
    DWORD length;
    while ((length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()))) >= path.size())
        path.resize(path.size() * 2);
    std::string directory = karvix::ProgramDirectory(std::string(path.data(), length));
    std::string commandText = karvix::ArgumentText(GetCommandLineA());
    int answered = Karvix_AnswerOption(commandText.c_str());
    if (answered >= 0)
        return answered;

    HWND window = Karvixfrm_Create(instance, commandText.c_str(), directory.c_str(), show);
    if (!window)
        return 1;
    return Karvixfrm_Run(window);
}
