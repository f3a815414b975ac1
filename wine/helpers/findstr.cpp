// Stands for findstr in the Windows checks (Wine's prints nothing): copies
// each line of its input that holds one of its words, case-sensitive, as
// "findstr WORD..." does for plain words. Options and patterns are refused.
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '/' || std::strpbrk(argv[i], ".*^$[]\\\"") != nullptr) {
            std::fprintf(stderr, "findstr (checks): only plain words are supported, not \"%s\"\n", argv[i]);
            return 2;
        }
        words.push_back(argv[i]);
    }
    if (words.empty()) {
        std::fprintf(stderr, "findstr (checks): no word to look for\n");
        return 2;
    }
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    bool found = false;
    std::string line;
    for (int c = std::getchar();; c = std::getchar()) {
        if (c != EOF)
            line += static_cast<char>(c);
        if ((c == '\n' || c == EOF) && !line.empty()) {
            for (const std::string& word : words) {
                if (line.find(word) != std::string::npos) {
                    std::fwrite(line.data(), 1, line.size(), stdout);
                    found = true;
                    break;
                }
            }
            line.clear();
        }
        if (c == EOF)
            break;
    }
    return found ? 0 : 1;
}
