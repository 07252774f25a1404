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

// The host's own interpreter when it runs as one (a plain Python, a virtual environment);
// otherwise (the host application is the executable, as Blender is) the interpreter beside the
// standard library or under the installation's prefixes, its own version tried first.
nb::str guess_python_executable() {
    namespace fs = std::filesystem;
    nb::module_ sys = nb::module_::import_("sys");
    const bool windows = nb::cast<std::string>(sys.attr("platform")) == "win32";
    const std::string ext = windows ? ".exe" : "";
    auto is_file = [](const fs::path& p) {
        std::error_code ec;
        return !p.empty() && fs::is_regular_file(p, ec);
    };
    const std::string executable =
        sys.attr("executable").is_none() ? "" : nb::cast<std::string>(sys.attr("executable"));
    if (fs::path(executable).filename().string().starts_with("python") && is_file(executable))
        return nb::str(executable.c_str());

    const fs::path os_dir =
        fs::path(nb::cast<std::string>(nb::module_::import_("os").attr("__file__"))).parent_path();
    const fs::path parent = os_dir.parent_path(), grandparent = parent.parent_path();
    const fs::path prefix(nb::cast<std::string>(sys.attr("exec_prefix")));
    const fs::path base(nb::cast<std::string>(sys.attr("base_exec_prefix")));
    const nb::object v = sys.attr("version_info");
    const std::string major = std::to_string(nb::cast<int>(v.attr("major")));
    const std::string version = major + "." + std::to_string(nb::cast<int>(v.attr("minor")));
    for (const std::string& suffix : {version, major, std::string()}) {
        const std::string name = "python" + suffix + ext;
        for (const fs::path& dir : {grandparent / "bin", grandparent, parent / "bin", parent,
                                    prefix / "bin", prefix, base / "bin", base})
            if (is_file(dir / name)) return nb::str((dir / name).string().c_str());
    }
    return nb::str(executable.c_str());
}

}  // namespace tav::streaming
