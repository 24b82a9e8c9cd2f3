// Per-extension module state: load guards and the module's own namespace.
//
// This library is linked statically into every extension, so each extension
// gets its own copy of the state below.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>

namespace vantle::py {

namespace nb = nanobind;

// Refuses a second interpreter and a second initialisation, with the
// interpreter's ImportError, then records `module` as this extension's module.
// Call first thing when the module loads.
void claim_module_load(nb::module_ module, const char* short_name);

// Records that loading finished; a later initialisation is then refused.
void finish_module_load();

// Gives the module's functions and methods the signatures its .pyi stub
// declares (vantle.bridge._signatures), so that inspect and editors see them;
// calls still go straight to the compiled code.
void publish_signatures(nb::module_ module);

// The extension module being loaded or loaded.
nb::module_ this_module();

// A module-level name, read from the module's dictionary at call time so that
// a caller who replaced it (a patched `torch`, a new `ir`) is honoured.
nb::object module_global(const char* name);

// Imports `name` and binds it in the module as `as`, turning a failed import
// into the interpreter's ImportError with its own message.
nb::object bind_import(nb::module_ module, const char* name, const char* as);

// `from <module_name> import <names...>`: binds each name in the module.
void bind_from(nb::module_ module, const char* module_name,
               std::initializer_list<const char*> names);

// Runs `body` as the loading of extension `short_name` under the load guards.
template <typename Body>
void load_module(nb::module_ module, const char* short_name, Body&& body) {
  claim_module_load(module, short_name);
  body(module);
  publish_signatures(module);
  finish_module_load();
}

}  // namespace vantle::py
