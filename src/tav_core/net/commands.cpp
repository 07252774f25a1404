// The protocol table as Python sees it.
#include "net/commands.hpp"

#include <nanobind/nanobind.h>

#include "net/net.hpp"

namespace tav {

namespace nb = nanobind;

nb::bytes command_byte(int n) {
    if (n < 0 || n > 255) throw nb::value_error("bytes must be in range(0, 256)");
    char byte = static_cast<char>(n);
    return nb::bytes(&byte, 1);
}

nb::object command_table() {
    nb::object entry = nb::module_::import_("collections")
                           .attr("namedtuple")("Command", "code echo request reply");
    nb::dict table;
    for (const Command& c : kCommands) {
        nb::object reply = nb::none();
        if (c.reply != kNeverSent) reply = nb::int_(c.reply);
        table[c.name] = entry(static_cast<int>(c.code), c.echo, c.request, reply);
    }
    return nb::module_::import_("types").attr("MappingProxyType")(table);
}

}  // namespace tav
