// What a spawned worker interpreter would need: its environment and the host's interpreter path.
// Workers are forked on this platform; both stay available to plug-ins that spawn their own.
#include <filesystem>

#include "core/server.hpp"

namespace tav {

nb::dict TavServer::get_environment() {
    nb::module_ os = nb::module_::import_("os");
    nb::dict env = nb::borrow<nb::dict>(os.attr("environ").attr("copy")());
    const std::string sep = nb::cast<std::string>(os.attr("pathsep"));
    std::string path;
    for (nb::handle entry : nb::module_::import_("sys").attr("path"))
        path += nb::cast<std::string>(nb::str(entry)) + sep;
    env["PYTHONPATH"] = path;
    return env;
}

nb::str TavServer::guess_python_executable() {
    namespace fs = std::filesystem;
    nb::module_ sys = nb::module_::import_("sys");
    const fs::path os_dir =
        fs::path(nb::cast<std::string>(nb::module_::import_("os").attr("__file__"))).parent_path();
    const fs::path exec_prefix(nb::cast<std::string>(sys.attr("exec_prefix")));
    static constexpr const char* kSuffixes[] = {"",     "3",    "3.7",  "3.7m", "3.7d",
                                                "3.7u", "3.8",  "3.8m", "3.8d", "3.8u",
                                                "3.9",  "3.9m", "3.9d", "3.9u"};
    for (const char* suffix : kSuffixes) {
        const std::string name = std::string("python") + suffix;
        const fs::path grandparent = os_dir.parent_path().parent_path(),
                       parent = os_dir.parent_path();
        for (const fs::path& candidate :
             {grandparent / "bin" / name, grandparent / name, parent / "bin" / name, parent / name,
              exec_prefix / "bin" / name, exec_prefix / name}) {
            std::error_code ec;
            if (fs::is_regular_file(candidate, ec)) return nb::str(candidate.string().c_str());
        }
    }
    return nb::str(sys.attr("executable"));
}

}  // namespace tav
