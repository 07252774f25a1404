#include "streaming/worker_environment.hpp"

#include <nanobind/stl/string.h>

#include <filesystem>

namespace tav::streaming {

nb::dict worker_environment() {
    nb::module_ os = nb::module_::import_("os");
    nb::dict env = nb::borrow<nb::dict>(os.attr("environ").attr("copy")());
    const std::string sep = nb::cast<std::string>(os.attr("pathsep"));
    std::string path;
    for (nb::handle entry : nb::module_::import_("sys").attr("path"))
        path += nb::cast<std::string>(nb::str(entry)) + sep;
    env["PYTHONPATH"] = path;
    return env;
}

nb::str guess_python_executable() {
    namespace fs = std::filesystem;
    nb::module_ sys = nb::module_::import_("sys");
    const fs::path os_dir =
        fs::path(nb::cast<std::string>(nb::module_::import_("os").attr("__file__"))).parent_path();
    const fs::path exec_prefix(nb::cast<std::string>(sys.attr("exec_prefix")));
    // The host's own version comes after the generic names; the interpreters of old versions
    // cannot load this module, so they are never candidates.
    const auto version = nb::cast<std::string>(nb::str("{}.{}").attr("format")(
        sys.attr("version_info").attr("major"), sys.attr("version_info").attr("minor")));
    const std::string suffixes[] = {"", "3", version};
    for (const std::string& suffix : suffixes) {
        const std::string name = "python" + suffix;
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

}  // namespace tav::streaming
