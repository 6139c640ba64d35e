// nubra_docgen OUTDIR: writes the manual pages and the shell completions made from the command
// table into OUTDIR, as they are installed under share/.
#include "standin_host/cli/docgen/DocGen.h"

#include <filesystem>
#include <fstream>
#include <iostream>

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    using namespace nubra::cli;
    if (argc != 2) {
        std::cerr << "usage: nubra_docgen OUTDIR\n";
        return 2;
    }
    auto files = docgen::ManPages(Program(), CommandTable());
    for (auto& f : docgen::Completions(Program(), CommandTable())) files.push_back(std::move(f));
    for (const auto& f : files) {
        const fs::path path = fs::path(argv[1]) / f.path;
        std::error_code ec;
        fs::create_directories(path.parent_path(), ec);
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << f.text;
        out.close();
        if (!out) {
            std::cerr << "nubra_docgen: cannot write " << path.string() << "\n";
            return 1;
        }
    }
    return 0;
}
