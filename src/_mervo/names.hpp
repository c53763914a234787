// The interned names the module looks up or sets: one table, each name listed once.
#pragma once

#include "capi.hpp"

// Each is interned on first use and kept for the process; constinit keeps them out of the
// load-time initialisers. Used as names::<id>; a dunder name's id drops the underscores.
namespace mervo::names {

// The asset attribute protocol.
inline constinit Name mervo_kind("__mervo_kind__");
inline constinit Name mervo_metadata("__mervo_metadata__");
inline constinit Name mervo_original("__mervo_original__");

// Attributes forwarded or read on functions, types and modules.
inline constinit Name dunder_name("__name__");
inline constinit Name dunder_doc("__doc__");
inline constinit Name dunder_module("__module__");
inline constinit Name dunder_qualname("__qualname__");
inline constinit Name dunder_all("__all__");

// Keys and texts of the metadata dictionary.
inline constinit Name asset("asset");
inline constinit Name kind("kind");
inline constinit Name name("name");
inline constinit Name serializer("serializer");
inline constinit Name inputs("inputs");
inline constinit Name partitions("partitions");
inline constinit Name inline_("inline");
inline constinit Name values_json("values_json");

// Functions and attributes of the host's standard modules.
inline constinit Name import_module("import_module");                              // importlib
inline constinit Name getsource("getsource");                                      // inspect
inline constinit Name getsourcefile("getsourcefile");
inline constinit Name getmembers("getmembers");
inline constinit Name signature("signature");
inline constinit Name Signature("Signature");
inline constinit Name empty("empty");
inline constinit Name return_annotation("return_annotation");
inline constinit Name dedent("dedent");                                            // textwrap
inline constinit Name strip("strip");                                              // str
inline constinit Name Path("Path");                                                // pathlib
inline constinit Name resolve("resolve");
inline constinit Name mkdir("mkdir");
inline constinit Name truediv("__truediv__");
inline constinit Name write_text("write_text");
inline constinit Name isinstance("isinstance");                                    // builtins
inline constinit Name version_info("version_info");                                // sys
inline constinit Name version_major("major");  // not `major`: a libc macro
inline constinit Name version_minor("minor");
inline constinit Name version_micro("micro");
inline constinit Name exit("exit");
inline constinit Name dumps("dumps");                                              // json
inline constinit Name loads("loads");

}  // namespace mervo::names
