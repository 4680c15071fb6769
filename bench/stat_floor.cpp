// The floor of a "nothing changed" run: list the From tree and make one status
// query per entry on each side, nothing else.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

static long entries = 0;

static void visit(const std::string& from, const std::string& to) {
    DIR* dir = opendir(from.c_str());
    if (!dir) return;
    while (dirent* found = readdir(dir)) {
        const char* name = found->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        std::string source = from + "/" + name;
        std::string target = to + "/" + name;
        struct stat a, b;
        stat(source.c_str(), &a);
        stat(target.c_str(), &b);
        ++entries;
        if (S_ISDIR(a.st_mode)) visit(source, target);
    }
    closedir(dir);
}

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    visit(argv[1], argv[2]);
    std::printf("%ld entries\n", entries);
    return 0;
}
