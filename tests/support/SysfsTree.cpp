#include "support/SysfsTree.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

void LoadSysfsTree(OsdTree& tree, const std::string& file, const std::string& under)
{
    std::ifstream in(file);
    if (!in) {
        throw std::runtime_error("no sysfs fixture " + file);
    }
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        size_t arrow = line.find(" -> ");
        size_t equals = line.find(" = ");
        if (arrow != std::string::npos) {
            tree.AddLink(under + line.substr(0, arrow), line.substr(arrow + 4));
        } else if (equals != std::string::npos) {
            tree.AddFile(under + line.substr(0, equals), line.substr(equals + 3) + "\n");
        } else if (line.back() == '/') {
            std::filesystem::create_directories(tree.Path(under + line));
        } else {
            throw std::runtime_error("unreadable fixture line: " + line);
        }
    }
}
