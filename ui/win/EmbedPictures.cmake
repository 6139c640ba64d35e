# Writes a C++ source holding PNG files as byte arrays, with a table by name (the file's name
# without its extension). Run with -P: -DOUTPUT=<file.cpp> -DINPUTS=<png|png|...>
string(REPLACE "|" ";" INPUTS "${INPUTS}")
set(_table "")
set(_arrays "")
set(_n 0)
foreach(_png IN LISTS INPUTS)
  get_filename_component(_name "${_png}" NAME_WE)
  file(READ "${_png}" _hex HEX)
  string(LENGTH "${_hex}" _len)
  math(EXPR _size "${_len} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _bytes "${_hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" _bytes "${_bytes}")
  string(APPEND _arrays "const unsigned char kPicture${_n}[] = {\n${_bytes}};\n")
  string(APPEND _table "    {\"${_name}\", kPicture${_n}, ${_size}},\n")
  math(EXPR _n "${_n} + 1")
endforeach()
file(WRITE "${OUTPUT}.tmp" "// Generated from the dialog's drawings at build time; not edited by hand.
#include \"ui/win/Pictures.h\"

#include <cstring>

namespace nubra::ui::win {
namespace {
${_arrays}
const EmbeddedPicture kPictures[] = {
${_table}};
}  // namespace

const EmbeddedPicture* FindEmbeddedPicture(const char* name) {
    for (const auto& p : kPictures)
        if (std::strcmp(p.name, name) == 0) return &p;
    return nullptr;
}

}  // namespace nubra::ui::win
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
