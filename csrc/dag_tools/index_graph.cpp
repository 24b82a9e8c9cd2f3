#include "dag_tools/index_graph.h"

#include "dag_tools/py_iter.h"
#include "py/module_state.h"
#include "py/torch_ops.h"

namespace vantle::dag_tools {
namespace {

// Lists made here hold only names or ints, and nothing else refers to them, so
// they cannot be part of a reference cycle. Keeping them away from the
// collector spares it from walking them on every collection a large build
// triggers.
void hide_from_collector(nb::handle list) {
  PyObject_GC_UnTrack(list.ptr());
}

// rustworkx's own add_edges_from_no_data reads any iterable of pairs and lets
// go of each pair before taking the next. A replaced method (a subclass, a
// stand-in) gets the documented list instead.
bool takes_pairs_one_by_one(nb::handle rx_graph) {
  PyObject* method =
      _PyType_Lookup(Py_TYPE(rx_graph.ptr()), nb::str("add_edges_from_no_data").ptr());
  return method != nullptr && Py_IS_TYPE(method, &PyMethodDescr_Type);
}

// The index pairs as a list of (source, destination) tuples.
nb::object index_pairs(NodeIndex& nodes, const std::vector<IndexEdge>& edges) {
  nb::list pairs = nb::steal<nb::list>(PyList_New(static_cast<Py_ssize_t>(edges.size())));
  if (!pairs.is_valid()) throw nb::python_error();
  hide_from_collector(pairs);
  PyObject* numbers = nodes.numbers().ptr();
  for (size_t i = 0; i < edges.size(); ++i) {
    PyObject* pair = PyTuple_Pack(2, PyList_GET_ITEM(numbers, edges[i].first),
                                  PyList_GET_ITEM(numbers, edges[i].second));
    if (pair == nullptr) throw nb::python_error();
    hide_from_collector(pair);
    PyList_SET_ITEM(pairs.ptr(), static_cast<Py_ssize_t>(i), pair);
  }
  return pairs;
}

// The same pairs as zip(sources, destinations): zip hands out one reused
// tuple while the receiver lets go of each before asking for the next, so a
// large graph costs two lists of shared ints instead of a tuple per edge.
nb::object index_pair_stream(NodeIndex& nodes, const std::vector<IndexEdge>& edges) {
  const auto count = static_cast<Py_ssize_t>(edges.size());
  nb::list sources = nb::steal<nb::list>(PyList_New(count));
  nb::list destinations = nb::steal<nb::list>(PyList_New(count));
  if (!sources.is_valid() || !destinations.is_valid()) throw nb::python_error();
  hide_from_collector(sources);
  hide_from_collector(destinations);
  PyObject* numbers = nodes.numbers().ptr();
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyList_SET_ITEM(sources.ptr(), i, Py_NewRef(PyList_GET_ITEM(numbers, edges[i].first)));
    PyList_SET_ITEM(destinations.ptr(), i, Py_NewRef(PyList_GET_ITEM(numbers, edges[i].second)));
  }
  PyObject* pairs = PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyZip_Type),
                                                 sources.ptr(), destinations.ptr(), nullptr);
  if (pairs == nullptr) throw nb::python_error();
  return nb::steal(pairs);
}

}  // namespace

NodeIndex::NodeIndex(nb::handle names) : source_(nb::borrow(names)) {
  PyObject* listed = PySequence_List(names.ptr());
  if (listed == nullptr) throw nb::python_error();
  names_ = nb::steal<nb::list>(listed);
  hide_from_collector(names_);
  // The keys of a dict are distinct, so each can stand for itself by address.
  from_dict_ = PyDict_CheckExact(names.ptr()) && size() < int64_t{UINT32_MAX};
  if (!from_dict_) {
    // Other sequences may repeat names or hold unhashable ones: the dictionary
    // settles both now, as filling it in order would.
    node_to_idx();
    return;
  }
  by_address_ = core::AddressIndex(static_cast<size_t>(size()));
  all_str_keys_ = true;
  for (int64_t i = 0; i < size(); ++i) {
    PyObject* key = PyList_GET_ITEM(listed, i);
    by_address_.set(key, i);
    all_str_keys_ = all_str_keys_ && PyUnicode_CheckExact(key);
  }
}

int64_t NodeIndex::find_by_identity(nb::handle name) const {
  return from_dict_ ? by_address_.find(name.ptr()) : -1;
}

int64_t NodeIndex::find(nb::handle name) {
  const int64_t by_identity = find_by_identity(name);
  if (by_identity >= 0) return by_identity;
  PyObject* number = PyDict_GetItemWithError(node_to_idx().ptr(), name.ptr());
  if (number == nullptr) {
    if (PyErr_Occurred()) throw nb::python_error();
    return -1;
  }
  return PyLong_AsSsize_t(number);
}

int64_t NodeIndex::at(nb::handle name) {
  const int64_t index = find(name);
  if (index >= 0) return index;
  // The dictionary's own KeyError.
  return nb::cast<int64_t>(node_to_idx()[name]);
}

const nb::list& NodeIndex::numbers() {
  if (have_numbers_) return numbers_;
  const Py_ssize_t count = PyList_GET_SIZE(names_.ptr());
  numbers_ = nb::steal<nb::list>(PyList_New(count));
  if (!numbers_.is_valid()) throw nb::python_error();
  hide_from_collector(numbers_);
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* number = PyLong_FromSsize_t(i);
    if (number == nullptr) throw nb::python_error();
    PyList_SET_ITEM(numbers_.ptr(), i, number);
  }
  have_numbers_ = true;
  return numbers_;
}

const nb::dict& NodeIndex::node_to_idx() {
  if (have_dict_) return node_to_idx_;
  PyObject* numbers_list = numbers().ptr();
  auto fill = [&](PyObject* dict) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names_.ptr()); ++i) {
      if (PyDict_SetItem(dict, PyList_GET_ITEM(names_.ptr(), i),
                         PyList_GET_ITEM(numbers_list, i)) != 0) {
        throw nb::python_error();
      }
    }
  };
  // A copy of the node dict already has every key in a table of the right
  // size; setting the values then rehashes nothing. If the keys differ from the
  // names taken earlier, the copy ends up larger and is made afresh.
  if (from_dict_ && PyDict_CheckExact(source_.ptr())) {
    node_to_idx_ = nb::steal<nb::dict>(PyDict_Copy(source_.ptr()));
    if (!node_to_idx_.is_valid()) throw nb::python_error();
    fill(node_to_idx_.ptr());
  }
  if (!node_to_idx_.is_valid() || PyDict_GET_SIZE(node_to_idx_.ptr()) != size()) {
    node_to_idx_ = nb::dict();
    fill(node_to_idx_.ptr());
  }
  have_dict_ = true;
  return node_to_idx_;
}

nb::dict NodeIndex::idx_to_node() {
  PyObject* numbers_list = numbers().ptr();
  nb::dict result;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names_.ptr()); ++i) {
    if (PyDict_SetItem(result.ptr(), PyList_GET_ITEM(numbers_list, i),
                       PyList_GET_ITEM(names_.ptr(), i)) != 0) {
      throw nb::python_error();
    }
  }
  return result;
}

BuiltIndexGraph build_index_graph(nb::handle names, nb::handle edges) {
  BuiltIndexGraph built{NodeIndex(names), {}};
  built.edges.reserve(reserve_hint(edges));
  for_each_pair(edges, [&](nb::handle src, nb::handle dst) {
    // Short-circuits like `src in node_to_idx and dst in node_to_idx`.
    const int64_t src_index = built.nodes.find(src);
    if (src_index < 0) return;
    const int64_t dst_index = built.nodes.find(dst);
    if (dst_index < 0) return;
    built.edges.emplace_back(src_index, dst_index);
  });
  return built;
}

nb::object make_rx_graph(NodeIndex& nodes, const std::vector<IndexEdge>& edges) {
  nb::object graph = py::module_global("rx").attr("PyDiGraph")();
  // A fresh graph numbers added nodes 0, 1, 2 ..., the indices `nodes` already holds.
  graph.attr("add_nodes_from")(nodes.names());
  nb::object pairs =
      takes_pairs_one_by_one(graph) ? index_pair_stream(nodes, edges) : index_pairs(nodes, edges);
  graph.attr("add_edges_from_no_data")(pairs);
  return graph;
}

std::optional<OfferedIndexGraph> offered_index_graph(nb::handle graph) {
  PyObject* method = PyObject_GetAttrString(graph.ptr(), "_get_rx_graph");
  if (method == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return std::nullopt;
  }
  nb::object rx_graph = nb::steal(method)();
  return OfferedIndexGraph{rx_graph, graph.attr("_node_to_idx"), graph.attr("_idx_to_node")};
}

bool rx_has_cycle(nb::handle rx_graph) {
  return !py::truthy(py::module_global("rx").attr("is_directed_acyclic_graph")(rx_graph));
}

}  // namespace vantle::dag_tools
