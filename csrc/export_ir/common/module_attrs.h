// Attribute reads on torch modules, for the conversion rules.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string_view>
#include <vector>

#include "export_ir/common/cpython.h"

namespace vantle::export_ir {

// Attribute reads on torch modules without torch's Python-level __getattr__.
//
// nn.Module resolves parameters, buffers and submodules in a Python __getattr__
// that raises for a missing name, which makes getattr(m, name, None) slow. For
// a module whose class keeps object.__getattribute__ and nn.Module.__getattr__,
// the same lookup (class attributes, instance dict, then _parameters, _buffers
// and _modules) is done here directly; any other object takes the ordinary path.
class AttrReader {
 public:
  explicit AttrReader(nb::handle nn_module_class);

  // A view of one object whose dictionaries are fetched once.
  class View {
   public:
    // getattr(obj, name, None) and getattr(obj, name); names are string literals.
    nb::object optional(const char* name) const;
    nb::object required(const char* name) const;
    nb::handle object() const { return obj_; }
    // False when no attribute whose name starts with one of `prefixes` can be
    // found: none in the object's dictionaries, none among `class_names` on
    // its class. True when it may (or the object is not one this reader
    // looks into directly).
    bool may_have_prefixed(std::initializer_list<std::string_view> prefixes,
                           std::initializer_list<const char*> class_names) const;

   private:
    friend class AttrReader;
    nb::object find(const char* name, bool& found) const;

    nb::handle obj_;
    bool fast_ = false;
    // Instance dict, then _parameters, _buffers and _modules where present.
    std::vector<nb::object> dicts_;
  };

  View view(nb::handle obj) const;

 private:
  nb::object module_getattr_;
};

}  // namespace vantle::export_ir
