// ktreporter: the problem-feedback reporter a client starts with its context on the command line.
#include <QString>
#include <string>
#include <vector>

#include "ktreporter/ktreporterapp.h"

int main(int argc, char** argv) {
    // The command line is taken before the Qt application sees it: Qt removes the options it
    // knows, and the pairs must stay as the client wrote them.
    std::vector<std::u16string> vecArgs;
    vecArgs.reserve(static_cast<size_t>(argc));
    for (int i = 0; i < argc; ++i)
        vecArgs.push_back(QString::fromLocal8Bit(argv[i]).toStdU16String());
    kt::CKTReporterApp theApp;
    return theApp.Run(argc, argv, std::move(vecArgs));
}
