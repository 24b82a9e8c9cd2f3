// What an export could not carry over exactly: warnings by default, one error
// naming them all with strict=True.
#pragma once

#include <string>
#include <unordered_set>
#include <vector>

namespace vantle::export_ir {

struct Finding {
  std::string what;         // "module 'act' (Softplus) has no IR form"
  std::string consequence;  // what the exported graph does instead
};

class Findings {
 public:
  // Adds a finding once; repeats (a layer in every time step) are dropped.
  void add(std::string what, std::string consequence);
  void add_all(const Findings& other);
  bool empty() const { return list_.empty(); }
  const std::vector<Finding>& list() const { return list_; }

  // Lenient: one UserWarning each. Strict: a ValueError naming them all.
  void report(bool strict) const;

 private:
  std::vector<Finding> list_;
  std::unordered_set<std::string> seen_;
};

// The consequence of leaving out a module or operation without IR form.
inline constexpr const char* kSkipped =
    "the exported graph skips it and does not compute what the model computes";

}  // namespace vantle::export_ir
