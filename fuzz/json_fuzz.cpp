// libFuzzer target for the JSON unit: the reader never crashes or hangs, and every text it
// accepts round-trips through the writer and reads the same in the library's own parser.
#include "json_doc.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "json_fuzz: %s: %s\n", what, detail.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    mervo::Json tree;
    mervo::JsonError error;
    if (!mervo::read_json(text, tree, error)) {
        if (error.line < 1 || error.column > size || error.message.empty())
            fail("bad error position", error.text());
        if (!tree.is_null())
            fail("partial tree after an error", error.text());
        return 0;
    }
    const std::string written = mervo::write_json(tree);
    mervo::Json again;
    if (!mervo::read_json(written, again, error))
        fail("written text refused", error.text() + " in " + written);
    if (mervo::write_json(again) != written)
        fail("round trip changed the tree", written);
    mervo::Json independent;
    try {
        independent = mervo::Json::parse(written);
    } catch (const std::exception& e) {
        fail("library parser refused the written text", std::string(e.what()) + " in " + written);
    }
    // Writing both trees with our writer compares them strictly: number kinds, -0.0, order.
    if (mervo::write_json(independent) != written)
        fail("library parser read another value", written);
    return 0;
}
