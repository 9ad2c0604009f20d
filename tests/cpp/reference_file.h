// The reader of the reference values that the scripts in tests/reference
// computed with NumPy and SciPy, and the names the reference files use.
#pragma once

#include <Eigen/Core>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace zorvane::test {

/// Reference values computed by the scripts in tests/reference. Each line of a
/// reference file is one named array: `name ndim extents... values...`, with
/// values written by Python's repr (so "nan" and "inf" appear as such).
class ReferenceFile {
 public:
  explicit ReferenceFile(const std::string& file_name) {
    const std::string path = std::string(ZORVANE_REFERENCE_DIR) + "/" + file_name;
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot open reference file " + path);
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty() || line[0] == '#') continue;
      std::istringstream fields(line);
      Entry entry;
      std::string name;
      int ndim = 0;
      fields >> name >> ndim;
      for (int k = 0; k < ndim; ++k) {
        long extent = 0;
        fields >> extent;
        entry.shape.push_back(extent);
      }
      std::string token;
      while (fields >> token) entry.values.push_back(parse(token));
      entries_[name] = std::move(entry);
    }
  }

  bool has(const std::string& name) const { return entries_.count(name) != 0; }

  /// A 2-D entry as a matrix (stored row-major).
  Eigen::MatrixXd matrix(const std::string& name) const {
    const Entry& e = get(name);
    if (e.shape.size() != 2) throw std::runtime_error(name + " is not 2-D");
    Eigen::MatrixXd m(e.shape[0], e.shape[1]);
    for (long i = 0; i < e.shape[0]; ++i) {
      for (long j = 0; j < e.shape[1]; ++j)
        m(i, j) = e.values[static_cast<std::size_t>(i * e.shape[1] + j)];
    }
    return m;
  }

  /// A 1-D entry as a vector.
  Eigen::VectorXd vector(const std::string& name) const {
    const Entry& e = get(name);
    if (e.shape.size() != 1) throw std::runtime_error(name + " is not 1-D");
    return Eigen::Map<const Eigen::VectorXd>(e.values.data(), e.shape[0]);
  }

  /// A 0-D entry.
  double scalar(const std::string& name) const {
    const Entry& e = get(name);
    if (!e.shape.empty()) throw std::runtime_error(name + " is not a scalar");
    return e.values.at(0);
  }

  /// Names that begin with `prefix`, in sorted order.
  std::vector<std::string> names_with_prefix(const std::string& prefix) const {
    std::vector<std::string> names;
    for (const auto& [name, entry] : entries_) {
      if (name.compare(0, prefix.size(), prefix) == 0) names.push_back(name);
    }
    return names;
  }

 private:
  struct Entry {
    std::vector<long> shape;
    std::vector<double> values;
  };

  // strtod, unlike stod, accepts subnormals, "nan" and "inf".
  static double parse(const std::string& token) { return std::strtod(token.c_str(), nullptr); }

  const Entry& get(const std::string& name) const {
    const auto it = entries_.find(name);
    if (it == entries_.end()) throw std::runtime_error("no reference entry " + name);
    return it->second;
  }

  std::map<std::string, Entry> entries_;
};

/// The order suffix of symmetric.txt's names: "_n005" for n = 5.
inline std::string order_tag(int n) {
  char tag[8];
  std::snprintf(tag, sizeof tag, "_n%03d", n);
  return tag;
}

/// The prefix of factorisations.txt's names: "square.5." for size 5,
/// "rect.9x4." for 9 x 4.
inline std::string square_key(double size) {
  return "square." + std::to_string(static_cast<int>(size)) + ".";
}
inline std::string rect_key(double rows, double cols) {
  return "rect." + std::to_string(static_cast<int>(rows)) + "x" +
         std::to_string(static_cast<int>(cols)) + ".";
}

}  // namespace zorvane::test
