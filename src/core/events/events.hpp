// Declarations shared by the files of the event core module (orvane.tamsel.core.events).
#pragma once

#include "pyhelp.hpp"

namespace events {

inline constexpr const char kModuleName[] = "orvane.tamsel.core.events";

// C++-side state of the module.
//
// The module uses single-phase initialisation, so there is one state per process, reached
// through this one pointer-sized struct. Consequence: re-importing the module after
// `del sys.modules[...]` gives a new module whose dict is a copy of the first one; the
// classes and functions in it are the same objects and keep reading the globals of the
// first module. Tests that need a fresh load run in a child process.
//
// Invariants:
//   - module_dict is a strong reference to the first module's __dict__ from the end of
//     PyInit until that module is freed; nullptr before and after. Globals (defaultdict,
//     EVENT, ...) are looked up in it as Python code would, through ov::global (cached only
//     under the dict version tags, so a replaced global takes effect at the next use).
//   - event_class and event_init are strong references to Event and to its __init__
//     descriptor. event_guard holds the version tags of Event at which the class was checked
//     to construct exactly as the fast constructor does (see event.cpp), or not; the fast
//     constructor runs only under a tag found good. Any change to a class attribute replaces
//     the tag; the class is then checked again once for its new tag (ov::type_guard).
//     event_store_guard holds the tags at which no data descriptor of Event stands in the
//     way of storing a field by generic attribute assignment (see event.cpp).
//   - inline_stores: whether the fast constructor may store fields straight into an event's
//     values array (instance_values.hpp); set once at initialisation when the check there
//     found the result indistinguishable from the generic attribute assignment's.
//   - empty_tuple is a strong reference to a 0-tuple, the arguments of object.__new__.
//   - shapes: the keyword-names tuples of recent Event calls (call_shape), one per slot,
//     chosen by the tuple's address; each slot's kwnames is nullptr or a strong reference.
//   - event_enum is a strong reference to EVENT and event_hash to the __hash__ its MRO gave
//     at initialisation (Enum's, a function of the member's name, which a member keeps).
//     event_hash_guard holds the EVENT version tags at which __hash__ still resolves to
//     event_hash: while it does, a member's hash is the one it always had, and the bus may
//     reuse a tier look-up made with it (see event_bus.cpp).
//   - enum_meta is a strong reference to the metaclass of EVENT (enum's EnumType) and
//     enum_getitem to the __getitem__ it resolved to at initialisation. enum_meta_guard holds
//     the metaclass tags at which that is still so and `_member_map_` is no attribute of the
//     metaclass: an enumeration's name look-up is then `cls._member_map_[name]`, and
//     parse_event reads that dict directly.
// A keyword-names tuple with which Event was called and bound without error: every name a
// plain field name (an exact str not starting with an underscore, never `self`), at most one
// of them `event_type`, at index `skip` (-1 if none). A str and a tuple never change, so
// the facts hold as long as the tuple lives, and the slot's strong reference keeps it alive
// (its address cannot be reused by another tuple while it is in the slot). stored_inline:
// whether an event of this shape was found to keep its attributes in the object (every name
// in Event's shared keys, which only ever gain names); if not, the shape's events are built
// with a dict of their own. direct: the interpreter's placement of the fields was read from
// such an event (instance_values.hpp): `slots` holds, for the fields in store order (keywords
// in call order without `event_type`, then `event_type`), their indices in the values array of
// Event's shared keys `keys` (compared by address, never read), `nslots` of them; events of
// the shape are then stored there directly while Event has those keys.
inline constexpr int kMaxSlots = 30;
struct call_shape {
    PyObject* kwnames = nullptr;
    Py_ssize_t skip = -1;
    bool stored_inline = false;
    bool direct = false;
    unsigned char nslots = 0;
    unsigned char slots[kMaxSlots] = {};
    const void* keys = nullptr;
};
inline constexpr size_t kShapeSlots = 8;

struct module_state {
    PyObject* module_dict = nullptr;
    PyObject* event_class = nullptr;
    PyObject* event_init = nullptr;
    ov::type_guard event_guard;
    ov::type_guard event_store_guard;
    bool inline_stores = false;
    PyObject* empty_tuple = nullptr;
    call_shape shapes[kShapeSlots];
    PyObject* event_enum = nullptr;
    PyObject* event_hash = nullptr;
    ov::type_guard event_hash_guard;
    PyObject* enum_meta = nullptr;
    PyObject* enum_getitem = nullptr;
    ov::type_guard enum_meta_guard;
};

extern module_state state;

// Creates an ordinary class as a class statement `class <name>:` at module level would
// (metaclass `type`, base `object`, `__module__` the module's name, no docstring), then
// installs `methods` (a table ended by an entry whose ml_name is nullptr, kept alive for
// the process) on it as real method descriptors. Returns a new reference.
PyObject* new_plain_class(const char* name, PyObject* module_name, PyMethodDef* methods);

// Each returns a new reference, or nullptr with an exception set.
PyObject* create_event_class(PyObject* module_name);
PyObject* create_event_bus_class(PyObject* module_name);
PyObject* create_event_enum(PyObject* module_dict, PyObject* module_name);
PyObject* create_parse_event(PyObject* module, PyObject* module_name);

// Called once Event is complete: installs the fast constructor and records the class's
// version tag (see module_state).
int arm_event_fast_path(PyObject* event_class);

// Called once EVENT exists: records its metaclass and the metaclass's version tag.
int arm_name_lookup_fast_path(PyObject* event_enum);

// Called once EVENT exists: records it and its __hash__ for the bus's tier look-ups.
int arm_dispatch_fast_path(PyObject* event_enum);

// Gives `type` a version tag if it has none yet and returns it (0 if it cannot have one).
unsigned int version_tag_of(PyObject* type);


}  // namespace events
