#include "config_reader.h"

#include <array>
#include <string>

#include "py_convert.h"

namespace tessarin::py {
namespace {

constexpr std::array<const char*, 8> kFieldNames = {
    "dim",    "rep",    "sims_per_move",   "sample_moves",
    "c_base", "c_init", "dirichlet_alpha", "exploration_fraction"};

// The field names as interned strings, created on first use and kept for the process.
const std::array<PyObject*, 8>* interned_names() {
  static std::array<PyObject*, 8> names{};
  static bool ready = false;
  if (!ready) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (names[i] == nullptr) names[i] = PyUnicode_InternFromString(kFieldNames[i]);
      if (names[i] == nullptr) return nullptr;
    }
    ready = true;
  }
  return &names;
}

}  // namespace

std::optional<Config> read_config(PyObject* object) {
  const std::array<PyObject*, 8>* names = interned_names();
  if (names == nullptr) return std::nullopt;
  Config config{};
  std::uint64_t* integers[] = {&config.dim, &config.rep, &config.sims_per_move,
                               &config.sample_moves};
  float* floats[] = {&config.c_base, &config.c_init, &config.dirichlet_alpha,
                     &config.exploration_fraction};
  for (std::size_t i = 0; i < names->size(); ++i) {
    Ref value = Ref::steal(PyObject_GetAttr(object, (*names)[i]));
    if (!value) return std::nullopt;
    const bool converted =
        i < 4 ? convert_u64(value.get(), *integers[i]) : convert_f32(value.get(), *floats[i - 4]);
    if (!converted) {
      raise_from_current(PyExc_TypeError,
                         std::string("failed to extract field Config.") + kFieldNames[i]);
      return std::nullopt;
    }
  }
  return config;
}

}  // namespace tessarin::py
