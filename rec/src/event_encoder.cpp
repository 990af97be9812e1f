// tiderec._events: the replay's event stream encoded in C, one pass per event.
//
// An EventDigest takes each published event (or its attribute dictionary) and, in one walk over
// its values, appends the event's digest bytes to a buffer that is hashed a large piece at a time,
// and (add_line) the event file's JSON of the same fields. The digest bytes are a tagged binary
// form (little-endian throughout, so the same on every machine):
//
//   n                       None
//   f / t                   False / True
//   i <int64>               an int that fits 64 bits, two's complement
//   d <float64>             a float as its IEEE bits, every NaN as 0x7ff8000000000000
//   s <u32 n> <n bytes>     a str as UTF-8
//   [ <u32 n> items         a list;  ( <u32 n> items  a tuple
//   { <u32 n> <u64 keys> values...
//                           a dict whose keys are all str, its values in its order after its
//                           keys' identity (the XXH64 of their s-values one after the other,
//                           kept per sequence of keys: a day's dicts have few shapes)
//   M <u32 n> key value...  any other dict, in its order
//   e <name> <member>       an enumeration member: its class's qualified name and its name
//   D <u16 year> <u8 month, day, hour, minute, second> <u32 microsecond> <u8 fold>
//                           a datetime without tzinfo
//   o <name> <dict>         a record: its class's qualified name and its attribute dict (a
//                           dataclass's too; its JSON is then the object of its fields), read
//                           where the interpreter keeps the attributes when it has made no
//                           dict for them (see attrs below)
//
// (names as s-values). Everything else (bytes, big integers, aware datetimes, objects that are
// not plain records, a nesting deeper than 50, a key that is not text when JSON is wanted ...)
// is declined: the walk stops, nothing of the event stays behind, and the whole event is
// handed to the Python encoding (`fallback`), which writes the same bytes for everything this
// walk takes and defines the rest.
//
// The JSON is what the replay's msgspec encoding writes for the same fields (floats in the
// fewest digits, NaN and the infinities as null, naive datetimes as YYYY-MM-DDTHH:MM:SS[.ffffff],
// enumeration members by value, records as {"$type": name, "fields": {...}}), the event's
// `event_type` left out.
//
// Which classes are records and which are enumerations is decided in Python (`classify`), once
// per class, and kept under the class's version tag: any change to a class attribute (its
// name, __getattr__, a property ...) moves the tag and the class is asked about again.
//
// The hash: the 64-bit XXH64 of the whole byte stream with seed 0, as 16 hex digits. Hashing
// the stream in pieces gives what hashing it at once gives, so the digest does not depend on how
// the events were batched.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <datetime.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "entry_text.hpp"
#include "ov/core.hpp"

namespace {

using ov::outcome;
using tiderec::text::Buffer;
namespace text = tiderec::text;

constexpr int max_depth = 50;              // as the Python encoding's MAX_DEPTH
constexpr size_t hash_chunk = size_t{1} << 16;  // bytes gathered before they are hashed

ov::name n_event_type("event_type");
ov::name n_name("_name_");
ov::name n_value("_value_");
ov::name n_ndim("ndim");
ov::name n_dict("__dict__");

// ---------------------------------------------------------------------------------------------
// An instance's attributes where the interpreter keeps them before anyone asks for its __dict__
//
// CPython 3.11 keeps the attributes of an instance of a heap type with a managed __dict__ in a
// values array in front of the object until its dict is asked for; asking makes the dict (the
// values move into it) and the instance keeps it from then on. The walk reads the array
// directly instead, so that an event or a record is not given a dict to be encoded. The layout
// is the interpreter's own (Include/internal/pycore_object.h and pycore_dict.h of 3.11), used
// here only for 3.11 and only after the check at import (attrs_walk_agrees) found that
// reading the array gives the bytes the dict gives:
//
//     [values pointer][dict pointer][GC header: 2 pointers][the object ...]
//
// While the dict pointer is NULL, values[i] is the attribute named by entry i of the class's
// shared keys (ht_cached_keys), NULL when unset; the byte before the array holds the prefix's
// size, the one before it how many attributes are set, and the bytes before those the index of
// each attribute in the order it was set (the order its dict would have). The shared keys only
// gain entries and never move one, so a name learned for an index stays right while the class
// keeps the same keys object (which a copy of a dict made from them keeps alive).
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
#define TIDEREC_INLINE_ATTRS 1
#else
#define TIDEREC_INLINE_ATTRS 0
#endif

namespace attrs {

constexpr int max_entries = 30;  // 3.11's most entries of a class's shared keys

inline bool has_layout(PyTypeObject* tp) {
#if TIDEREC_INLINE_ATTRS
    return PyType_HasFeature(tp, Py_TPFLAGS_MANAGED_DICT) && PyType_IS_GC(tp) &&
           PyType_HasFeature(tp, Py_TPFLAGS_HEAPTYPE);
#else
    (void)tp;
    return false;
#endif
}

inline PyObject** values_of(PyObject* obj) { return *(reinterpret_cast<PyObject***>(obj) - 4); }
inline PyObject* dict_of(PyObject* obj) { return *(reinterpret_cast<PyObject**>(obj) - 3); }
inline const uint8_t* prefix_of(PyObject** values) { return reinterpret_cast<const uint8_t*>(values); }
inline uint8_t count_of(PyObject** values) { return prefix_of(values)[-2]; }
inline uint8_t index_of(PyObject** values, int j) { return prefix_of(values)[-3 - j]; }
inline const void* shared_keys_of(PyTypeObject* tp) {
    return reinterpret_cast<PyHeapTypeObject*>(tp)->ht_cached_keys;
}

// Whether `obj` (of a class with the layout) keeps its attributes in the array now: the
// array, or nullptr.
inline PyObject** live_values(PyObject* obj) {
    PyObject** values = values_of(obj);
    if (values == nullptr || dict_of(obj) != nullptr)
        return nullptr;
    return values;
}

}  // namespace attrs

bool attrs_walk_on = false;  // set at import when the check agrees

// ---------------------------------------------------------------------------------------------
// XXH64, streaming over stripes of 32 bytes

constexpr uint64_t prime1 = 0x9E3779B185EBCA87ULL;
constexpr uint64_t prime2 = 0xC2B2AE3D27D4EB4FULL;
constexpr uint64_t prime3 = 0x165667B19E3779F9ULL;
constexpr uint64_t prime4 = 0x85EBCA77C2B2AE63ULL;
constexpr uint64_t prime5 = 0x27D4EB2F165667C5ULL;

inline uint64_t rotl(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

inline uint64_t read64(const unsigned char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap64(v);
    return v;
}

inline uint32_t read32(const unsigned char* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap32(v);
    return v;
}

inline uint64_t xxh_round(uint64_t acc, uint64_t input) {
    acc += input * prime2;
    acc = rotl(acc, 31);
    return acc * prime1;
}

inline uint64_t xxh_merge(uint64_t acc, uint64_t v) {
    acc ^= xxh_round(0, v);
    return acc * prime1 + prime4;
}

// The state of one XXH64 over the stripes consumed so far. Invariant: `total` counts the bytes
// consumed, a multiple of 32.
struct Xxh64 {
    uint64_t seed = 0;
    uint64_t v1 = 0, v2 = 0, v3 = 0, v4 = 0;
    uint64_t total = 0;

    void reset(uint64_t s) {
        seed = s;
        v1 = s + prime1 + prime2;
        v2 = s + prime2;
        v3 = s;
        v4 = s - prime1;
        total = 0;
    }
    void stripes(const unsigned char* p, size_t n) {  // n a multiple of 32
        uint64_t a = v1, b = v2, c = v3, d = v4;
        for (const unsigned char* end = p + n; p < end; p += 32) {
            a = xxh_round(a, read64(p));
            b = xxh_round(b, read64(p + 8));
            c = xxh_round(c, read64(p + 16));
            d = xxh_round(d, read64(p + 24));
        }
        v1 = a, v2 = b, v3 = c, v4 = d;
        total += n;
    }
    // The hash of what was consumed followed by `tail` (fewer than 32 bytes); the state stays.
    uint64_t finish(const unsigned char* p, size_t n) const {
        uint64_t h;
        if (total >= 32) {
            h = rotl(v1, 1) + rotl(v2, 7) + rotl(v3, 12) + rotl(v4, 18);
            h = xxh_merge(h, v1);
            h = xxh_merge(h, v2);
            h = xxh_merge(h, v3);
            h = xxh_merge(h, v4);
        } else {
            h = seed + prime5;
        }
        h += total + n;
        for (; n >= 8; p += 8, n -= 8) {
            h ^= xxh_round(0, read64(p));
            h = rotl(h, 27) * prime1 + prime4;
        }
        if (n >= 4) {
            h ^= static_cast<uint64_t>(read32(p)) * prime1;
            h = rotl(h, 23) * prime2 + prime3;
            p += 4;
            n -= 4;
        }
        for (; n > 0; ++p, --n) {
            h ^= *p * prime5;
            h = rotl(h, 11) * prime1;
        }
        h ^= h >> 33;
        h *= prime2;
        h ^= h >> 29;
        h *= prime3;
        h ^= h >> 32;
        return h;
    }
};

// ---------------------------------------------------------------------------------------------
// What is known of a class

// record_hooked: a record whose class has __getattr__, so that whether it has an `ndim` is asked
// of the instance rather than of its dict.
enum class kind : uint8_t { other = 0, record = 1, enumeration = 2, dataclass = 3, record_hooked = 4 };

// One class's decision. Invariant: when `type` is set, the entry holds a reference to it, and
// `tag` was the class's version tag when `classify` decided; the decision stands while the
// class carries that tag (CPython 3.11's public tp_version_tag, which the interpreter changes
// whenever a class attribute of the class or of a base changes and never reuses).
struct TypeEntry {
    PyTypeObject* type = nullptr;
    unsigned int tag = 0;
    kind k = kind::other;
    std::string digest_name;  // the class's name as an s-value
    std::string json_head;    // {"$type":"Name","fields":
    PyObject* fields = nullptr;  // a dataclass's field names (a tuple of str), held
    // Its instances' values arrays (see attrs): the class's shared keys once names were
    // learned, `pin` (held) a dict sharing them, so that they live; names[i] (held, never
    // replaced) the attribute of entry i; ndim_entry the entry named `ndim`, or -1.
    const void* keys = nullptr;
    PyObject* pin = nullptr;
    bool attrs_off = false;  // learning found something unexpected: the dict is asked for
    int8_t ndim_entry = -1;
    PyObject* names[attrs::max_entries] = {};
};

constexpr size_t table_size = 512;  // open addressing; at most table_size / 2 classes kept

// An event line's beginning, {"event":"Name","source":, by the identity of the event type.
// Invariant: when `etype` is set, the entry holds references to it and to `head` (bytes).
struct HeadEntry {
    PyObject* etype = nullptr;
    PyObject* head = nullptr;
};

constexpr size_t head_slots = 64;  // direct-mapped by the event type's address

// A dict key's JSON, "key": (escaped), for the keys the records and events use over and over.
// Invariant: when `key` is set, the entry holds a reference to it (so its address is not
// reused) and text[0, n) is its JSON and the colon.
struct KeyText {
    PyObject* key = nullptr;
    uint32_t n = 0;
    char text[28] = {};
};

constexpr size_t key_slots = 1024;  // direct-mapped by the key's address

// The identity of a sequence of keys (of a dict, or of an object's attributes): the XXH64 of
// their s-values one after the other. Invariant: when n is set, keys[0, n) are held (so their
// addresses are not reused) and `id` is theirs.
constexpr size_t shape_keys_max = 32;
struct KeyShape {
    uint32_t n = 0;
    uint64_t id = 0;
    PyObject* keys[shape_keys_max] = {};
};

constexpr size_t shape_slots = 256;  // direct-mapped by a mix of the keys' addresses

// An enumeration member's digest bytes (e, its class's name, its name), by the member's
// identity. Invariant: when
// `member` is set, the entry holds it; `dict` was its attribute dict (its managed dict, see
// attrs) with version tag `version` (3.11's public ma_version_tag, changed by any change to the
// dict) and `tag` its class's entry's tag when the name was read; `value` (borrowed from that
// dict, alive while the dict is unchanged) its _value_, or null when not read.
struct MemberText {
    PyObject* member = nullptr;
    PyObject* dict = nullptr;
    uint64_t version = 0;
    unsigned int tag = 0;
    PyObject* value = nullptr;
    std::string name;
};

constexpr size_t member_slots = 64;  // direct-mapped by the member's address

// ---------------------------------------------------------------------------------------------
// The object

// The C++ side of an EventDigest. Invariant: `pending` holds the stream's bytes not yet hashed
// (fewer than 32 of them right after a hash); `json` is scratch for one event's line, empty
// between calls.
struct State {
    Buffer pending;
    Buffer json;
    Xxh64 h0;
    TypeEntry table[table_size];
    HeadEntry heads[head_slots];
    KeyText keys[key_slots];
    KeyShape shapes[shape_slots];
    MemberText members[member_slots];
    Buffer scratch;  // the keys' s-values while their identity is computed
    size_t types = 0;
    unsigned long long declined = 0;
};

struct EventDigest {
    PyObject_HEAD
    PyObject* classify;  // classify(type) -> (kind, name)
    PyObject* fallback;  // fallback(fields) -> bytes: the digest bytes of a declined event
    PyObject* head_of;   // head_of(event_type) -> (bytes, keep): a line's beginning; or null
    PyObject* session;   // bytes: '"' and the session's name and ':' as JSON text; or null
    State* st;
};

inline void put_u32(Buffer& b, uint32_t v) {
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap32(v);
    std::memcpy(b.room(4), &v, 4);
    b.commit(4);
}

inline void put_tagged64(Buffer& b, char tag, uint64_t v) {
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap64(v);
    char* w = b.room(9);
    w[0] = tag;
    std::memcpy(w + 1, &v, 8);
    b.commit(9);
}

inline void put_text(Buffer& b, char tag, const char* s, size_t n) {
    char* w = b.room(5 + n);
    w[0] = tag;
    auto len = static_cast<uint32_t>(n);
    if constexpr (std::endian::native == std::endian::big)
        len = __builtin_bswap32(len);
    std::memcpy(w + 1, &len, 4);
    std::memcpy(w + 5, s, n);
    b.commit(5 + n);
}

// A header: tag and count.
inline void put_count(Buffer& b, char tag, Py_ssize_t n) {
    auto v = static_cast<uint32_t>(n);
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap32(v);
    char* w = b.room(5);
    w[0] = tag;
    std::memcpy(w + 1, &v, 4);
    b.commit(5);
}

// The decision about class t, asked of `classify` when the class is new or has changed since.
// nullptr: an error is set.
const TypeEntry* type_entry(EventDigest* self, PyTypeObject* t);

// The JSON of the str `key` from the cache, entered when missing; nullptr for a key whose
// JSON does not fit an entry or is not plain ASCII (the caller writes it itself). Runs no
// Python code.
const KeyText* key_text(KeyText* keys, PyObject* key) {
    KeyText& e = keys[(reinterpret_cast<uintptr_t>(key) >> 4) % key_slots];
    if (e.key == key)
        return &e;
    if (!PyUnicode_IS_COMPACT_ASCII(key))
        return nullptr;
    const auto n = static_cast<size_t>(PyUnicode_GET_LENGTH(key));
    if (n > sizeof e.text - 3)
        return nullptr;
    const auto* s = static_cast<const unsigned char*>(PyUnicode_DATA(key));
    for (size_t i = 0; i < n; ++i)
        if (s[i] < 0x20 || s[i] == '"' || s[i] == '\\')  // escaped: written as any text
            return nullptr;
    PyObject* old = e.key;
    Py_INCREF(key);
    e.key = key;
    e.n = static_cast<uint32_t>(n + 3);
    e.text[0] = '"';
    std::memcpy(e.text + 1, s, n);
    e.text[n + 1] = '"';
    e.text[n + 2] = ':';
    Py_XDECREF(old);  // a str: its release runs no Python code
    return &e;
}

// What the walk needs of an interned name: equal to `name` (an interned str) exactly when it
// is the same object, or, not interned, of equal text.
inline bool is_name(PyObject* s, PyObject* name) {
    if (s == name)
        return true;
    if (PyUnicode_CHECK_INTERNED(s))
        return false;
    return PyUnicode_GET_LENGTH(s) == PyUnicode_GET_LENGTH(name) && PyUnicode_Compare(s, name) == 0;
}

// A key's UTF-8 (a str's); nullptr: it has none (a lone surrogate; an error is set).
inline const char* utf8_of(PyObject* s, Py_ssize_t* n) {
    if (PyUnicode_IS_COMPACT_ASCII(s)) {  // its UTF-8 is its data
        *n = PyUnicode_GET_LENGTH(s);
        return static_cast<const char*>(PyUnicode_DATA(s));
    }
    return PyUnicode_AsUTF8AndSize(s, n);
}

// Where the identity of a sequence of keys is kept: by a mix of their addresses (events of
// several types share their first and last keys), taken key by key.
inline uint64_t mix_key(uint64_t mix, PyObject* key) {
    return rotl(mix ^ (reinterpret_cast<uintptr_t>(key) >> 4), 29) * prime2;
}

inline KeyShape& shape_slot(State& st, uint64_t mix) { return st.shapes[(mix >> 40) % shape_slots]; }

// The identity of the keys ks[0, n) (each an exact str), computed and kept in `e` (their
// slot); other: a key without UTF-8, which the Python encoding writes. Runs no Python code.
outcome new_keys_id(State& st, KeyShape& e, PyObject* const* ks, size_t n, uint64_t* id) {
    Buffer& b = st.scratch;
    b.clear();
    for (size_t i = 0; i < n; ++i) {
        Py_ssize_t len;
        const char* u = utf8_of(ks[i], &len);
        if (u == nullptr)
            return ov::clear_if_exception() ? outcome::other : outcome::error;
        if (static_cast<size_t>(len) >= 0xFFFFFFFFu)
            return outcome::other;
        put_text(b, 's', u, static_cast<size_t>(len));
    }
    Xxh64 h;
    h.reset(0);
    const auto* p = reinterpret_cast<const unsigned char*>(b.data());
    const size_t whole = b.size() & ~size_t{31};
    h.stripes(p, whole);
    *id = h.finish(p + whole, b.size() - whole);
    b.clear();
    b.trim(1 << 16);
    if (n <= shape_keys_max) {
        PyObject* old[shape_keys_max];
        const size_t old_n = e.n ? e.n - 1 : 0;
        std::memcpy(old, e.keys, old_n * sizeof(PyObject*));
        for (size_t i = 0; i < n; ++i)
            e.keys[i] = Py_NewRef(ks[i]);
        e.n = static_cast<uint32_t>(n + 1);
        e.id = *id;
        for (size_t i = 0; i < old_n; ++i)
            Py_DECREF(old[i]);  // exact str: their release runs no Python code
    }
    return outcome::ok;
}

// Whether `e` holds the keys ks[0, n).
inline bool holds_keys(const KeyShape& e, PyObject* const* ks, size_t n) {
    if (e.n != n + 1)  // (n + 1: an empty slot has 0)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (e.keys[i] != ks[i])
            return false;
    return true;
}

// The identity of the keys ks[0, n) (each an exact str), kept or computed and kept.
inline outcome keys_id(State& st, PyObject* const* ks, size_t n, uint64_t* id) {
    uint64_t mix = 0;
    for (size_t i = 0; i < n; ++i)
        mix = mix_key(mix, ks[i]);
    KeyShape& e = shape_slot(st, mix);
    if (holds_keys(e, ks, n)) {
        *id = e.id;
        return outcome::ok;
    }
    return new_keys_id(st, e, ks, n, id);
}

// A dict's header: its count and its keys' identity.
inline void put_dict_head(Buffer& b, Py_ssize_t n, uint64_t id) {
    auto v = static_cast<uint32_t>(n);
    if constexpr (std::endian::native == std::endian::big) {
        v = __builtin_bswap32(v);
        id = __builtin_bswap64(id);
    }
    char* w = b.room(13);
    w[0] = '{';
    std::memcpy(w + 1, &v, 4);
    std::memcpy(w + 5, &id, 8);
    b.commit(13);
}

// Where the walk takes an object's values from, each the value of ks[i] in the walk's order.
// unchanged(): nothing was set or deleted since the keys were read, so the values not yet
// written are still those of the keys (checked after any value whose writing may have run
// Python code; each value is read when it is written, so one replaced meanwhile is not held).
struct ArrayValues {
    PyObject* obj;
    PyObject** values;
    const uint8_t* order;  // the entry of each attribute, in the order they were set
    int count;
    PyObject* at(Py_ssize_t j) const { return values[order[j]]; }
    bool unchanged() const {
        if (attrs::live_values(obj) != values || attrs::count_of(values) != count)
            return false;
        for (int j = 0; j < count; ++j)
            if (attrs::index_of(values, j) != order[j])
                return false;
        return true;
    }
};

// The order of an instance's attributes in its values array, read before its dict is asked
// for, so that the names of the entries can be learned from the dict (count -1: none).
struct Captured {
    int count = -1;
    uint8_t order[attrs::max_entries];
};

void capture(PyObject* v, Captured& c) {
    c.count = -1;
    if (!attrs_walk_on || !attrs::has_layout(Py_TYPE(v)))
        return;
    PyObject** values = attrs::live_values(v);
    if (values == nullptr)
        return;
    const int n = attrs::count_of(values);
    if (n > attrs::max_entries)
        return;
    for (int j = 0; j < n; ++j) {
        c.order[j] = attrs::index_of(values, j);
        if (c.order[j] >= attrs::max_entries)
            return;
    }
    c.count = n;
}

// After the dict `d` of an instance of t captured so was made from its values array: the name
// of each entry, from the dict's order (the attributes' order) paired with the captured one,
// once the dict is seen to be the array's (the same values at the same entries, the class's
// shared keys). What does not agree switches the class to its dict for good. error: only an
// interrupt (nothing else is raised).
outcome learn(TypeEntry& e, PyTypeObject* t, const Captured& c, PyObject* d) {
#if TIDEREC_INLINE_ATTRS
    if (c.count < 0 || e.attrs_off || e.type != t || !PyDict_CheckExact(d))
        return outcome::ok;
    auto agrees = [&]() {
        // (reads 3.11's public dict fields: a dict made from the array shares the class's
        // keys and holds the array itself)
        auto* dd = reinterpret_cast<PyDictObject*>(d);
        const void* shared = attrs::shared_keys_of(t);
        if (shared == nullptr || dd->ma_keys != shared || dd->ma_values == nullptr ||
            PyDict_GET_SIZE(d) != c.count || (e.keys != nullptr && e.keys != shared))
            return false;
        auto* values = reinterpret_cast<PyObject**>(dd->ma_values);
        Py_ssize_t pos = 0;
        PyObject *key, *val;
        int j = 0;
        while (PyDict_Next(d, &pos, &key, &val)) {
            if (j >= c.count || !PyUnicode_CheckExact(key) || values[c.order[j]] != val)
                return false;
            PyObject* known = e.names[c.order[j]];
            if (known != nullptr && known != key)
                return false;
            ++j;
        }
        return j == c.count;
    };
    if (!agrees()) {
        e.attrs_off = true;
        return outcome::ok;
    }
    if (e.pin == nullptr) {
        PyObject* pin = PyDict_Copy(d);  // (an allocation: may run Python code)
        if (pin == nullptr)
            return ov::clear_if_exception() ? outcome::ok : outcome::error;
        auto* pd = reinterpret_cast<PyDictObject*>(pin);
        if (pd->ma_keys != attrs::shared_keys_of(t) || pd->ma_values == nullptr || !agrees()) {
            Py_DECREF(pin);
            return outcome::ok;
        }
        e.pin = pin;
        e.keys = attrs::shared_keys_of(t);
    }
    Py_ssize_t pos = 0;
    PyObject *key, *val;
    for (int j = 0; PyDict_Next(d, &pos, &key, &val); ++j) {
        const uint8_t i = c.order[j];
        if (e.names[i] == nullptr) {
            e.names[i] = Py_NewRef(key);
            if (is_name(key, n_ndim))
                e.ndim_entry = static_cast<int8_t>(i);
        }
    }
#else
    (void)e, (void)t, (void)c, (void)d;
#endif
    return outcome::ok;
}

// What was kept of member v of an enumeration, while its dict and its class are unchanged (the
// class's version tag as when its decision was kept: the decision stands); nullptr otherwise.
inline const MemberText* known_member(const MemberText* members, PyObject* v) {
    const MemberText& m = members[(reinterpret_cast<uintptr_t>(v) >> 4) % member_slots];
    if (m.member != v)
        return nullptr;
    PyTypeObject* t = Py_TYPE(v);
    PyObject* d = attrs::dict_of(v);  // (v was kept: its class has the layout)
    if (d == nullptr || d != m.dict || !(t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ||
        t->tp_version_tag != m.tag || reinterpret_cast<PyDictObject*>(d)->ma_version_tag != m.version)
        return nullptr;
    return &m;
}

// Keeps the digest bytes of member v (its class's name e.digest_name and its name, an s-value
// of n bytes at s) just read from its dict d.
void remember_member(MemberText* members, PyObject* v, const TypeEntry& e, PyObject* d, const char* s,
                     size_t n, PyObject* value) {
    if (!attrs_walk_on || !attrs::has_layout(Py_TYPE(v)) || attrs::dict_of(v) != d)
        return;
    MemberText& m = members[(reinterpret_cast<uintptr_t>(v) >> 4) % member_slots];
    std::string name = "e" + e.digest_name;  // (may throw: nothing changed yet)
    name.append(s, n);
    PyObject* old = m.member;
    m.member = Py_NewRef(v);
    m.dict = d;
    m.version = reinterpret_cast<PyDictObject*>(d)->ma_version_tag;
    m.tag = e.tag;
    m.value = value;
    m.name.swap(name);
    Py_XDECREF(old);  // the entry is consistent: this may run Python code
}

// The keys of the attributes of an instance of t whose values array is `values`, in their
// order, when every entry's name is known; false otherwise (its dict is asked for).
bool gather(const TypeEntry& e, PyTypeObject* t, PyObject** values, uint8_t* order, PyObject** ks,
            int* count) {
    if (e.keys == nullptr || e.attrs_off || e.keys != attrs::shared_keys_of(t))
        return false;
    const int n = attrs::count_of(values);
    if (n > attrs::max_entries)
        return false;
    for (int j = 0; j < n; ++j) {
        const uint8_t i = attrs::index_of(values, j);
        if (i >= attrs::max_entries || e.names[i] == nullptr)
            return false;
        order[j] = i;
        ks[j] = e.names[i];
    }
    *count = n;
    return true;
}

// One walk over an event's fields, writing the digest's bytes to the stream's pending buffer
// and, when J, the JSON to `json`.
template <bool J>
class Walk {
public:
    Walk(EventDigest* self, Buffer* json) : self_(self), dig_(self->st->pending), json_(json) {}

    outcome fields(PyObject* d) { return dict(d, 0, true); }
    outcome event(PyObject* ev);
    outcome value(PyObject* v, int depth);
    outcome string(PyObject* s);

private:
    outcome leaf(PyObject* v);
    outcome inner(PyObject* v, int depth);
    outcome item(PyObject* v, int depth);
    outcome dict(PyObject* d, int depth, bool top);
    outcome mapping(PyObject* d, int depth);
    template <class Source>
    outcome body(const Source& src, PyObject* const* ks, Py_ssize_t n, int depth, bool top);
    outcome json_key(PyObject* key);
    outcome record_attrs(PyObject* v, const TypeEntry& e, int depth);
    outcome sequence(PyObject* v, int depth, bool is_list);
    outcome object(PyObject* v, int depth);
    outcome datetime(PyObject* v);
    outcome dataclass(PyObject* dd, ov::object fields, int depth);
    Walk<false> digest_only() const { return Walk<false>(self_, nullptr); }

public:
    ov::object etype;  // with J, the event's event_type met by event()

private:
    EventDigest* self_;
    Buffer& dig_;
    Buffer* json_;
    template <bool>
    friend class Walk;
};

// n bytes from s to d, short copies without a library call.
inline void copy_bytes(char* d, const char* s, size_t n) {
    if (n <= 16) {
        if (n >= 8) {
            std::memcpy(d, s, 8);
            std::memcpy(d + n - 8, s + n - 8, 8);
        } else if (n >= 4) {
            std::memcpy(d, s, 4);
            std::memcpy(d + n - 4, s + n - 4, 4);
        } else {
            for (size_t i = 0; i < n; ++i)
                d[i] = s[i];
        }
        return;
    }
    std::memcpy(d, s, n);
}

template <bool J>
outcome Walk<J>::string(PyObject* s) {
    Py_ssize_t n;
    const char* u;
    if (PyUnicode_IS_COMPACT_ASCII(s)) {  // its UTF-8 is its data
        u = static_cast<const char*>(PyUnicode_DATA(s));
        n = PyUnicode_GET_LENGTH(s);
    } else {
        u = PyUnicode_AsUTF8AndSize(s, &n);
        if (u == nullptr)  // a lone surrogate: the Python encoding decides
            return ov::clear_if_exception() ? outcome::other : outcome::error;
        if (static_cast<size_t>(n) >= 0xFFFFFFFFu)
            return outcome::other;
    }
    const auto len = static_cast<size_t>(n);
    char* w = dig_.room(5 + len);
    w[0] = 's';
    auto l32 = static_cast<uint32_t>(len);
    if constexpr (std::endian::native == std::endian::big)
        l32 = __builtin_bswap32(l32);
    std::memcpy(w + 1, &l32, 4);
    copy_bytes(w + 5, u, len);
    dig_.commit(5 + len);
    if constexpr (J)
        text::append_string(*json_, u, len);
    return outcome::ok;
}

// An exact int of at most one digit, read from 3.11's public long layout (the sign and the
// number of digits in ob_size); false for any other (asked of the interpreter).
inline bool small_int(PyObject* v, long long* x) {
#if TIDEREC_INLINE_ATTRS
    const Py_ssize_t size = Py_SIZE(v);
    if (size > 1 || size < -1)
        return false;
    const long long digit = size ? reinterpret_cast<PyLongObject*>(v)->ob_digit[0] : 0;
    *x = size < 0 ? -digit : digit;
    return true;
#else
    (void)v, (void)x;
    return false;
#endif
}

// A float's digest bits: its IEEE bits, every NaN as one.
inline uint64_t float_bits(double x) {
    uint64_t bits = 0x7ff8000000000000ULL;
    if (x == x)
        std::memcpy(&bits, &x, 8);
    return bits;
}

// A value that holds no other (a float, an int, a str, None, a bool): written, and ok (or
// other / error); `not_leaf` for any other value, nothing written. No Python code runs here,
// so the caller need not hold the value.
constexpr auto not_leaf = static_cast<outcome>(3);

template <bool J>
inline outcome Walk<J>::leaf(PyObject* v) {
    PyTypeObject* t = Py_TYPE(v);
    if (t == &PyFloat_Type) {
        const double x = PyFloat_AS_DOUBLE(v);
        uint64_t bits;
        if (x != x) {
            bits = 0x7ff8000000000000ULL;
            if constexpr (J)
                *json_ += "null";
        } else {
            std::memcpy(&bits, &x, 8);
            if constexpr (J) {
                if (x - x == 0)  // finite
                    text::append_double(*json_, x);
                else
                    *json_ += "null";
            }
        }
        put_tagged64(dig_, 'd', bits);
        return outcome::ok;
    }
    if (t == &PyLong_Type) {
        long long x;
        if (!small_int(v, &x)) {
            int overflow = 0;
            x = PyLong_AsLongLongAndOverflow(v, &overflow);
            if (overflow)
                return outcome::other;
            if (x == -1 && PyErr_Occurred())
                return outcome::error;
        }
        put_tagged64(dig_, 'i', static_cast<uint64_t>(x));
        if constexpr (J)
            text::append_int(*json_, x);
        return outcome::ok;
    }
    if (t == &PyUnicode_Type)
        return string(v);
    if (v == Py_None) {
        dig_.push_back('n');
        if constexpr (J)
            *json_ += "null";
        return outcome::ok;
    }
    if (t == &PyBool_Type) {
        const bool b = v == Py_True;
        dig_.push_back(b ? 't' : 'f');
        if constexpr (J) {
            if (b)
                *json_ += "true";
            else
                *json_ += "false";
        }
        return outcome::ok;
    }
    return not_leaf;
}

// Any value at `depth` (the event's attribute dict is at 0); the caller holds it.
template <bool J>
outcome Walk<J>::value(PyObject* v, int depth) {
    const outcome r = leaf(v);
    if (r != not_leaf)
        return depth > max_depth ? outcome::other : r;
    return inner(v, depth);
}

// A value that is not a leaf, at `depth`; the caller holds it.
template <bool J>
outcome Walk<J>::inner(PyObject* v, int depth) {
    if (depth > max_depth)
        return outcome::other;
    PyTypeObject* t = Py_TYPE(v);
    if (t == &PyDict_Type)
        return dict(v, depth, false);
    if (t == &PyList_Type)
        return sequence(v, depth, true);
    if (t == &PyTuple_Type)
        return sequence(v, depth, false);
    if (t == PyDateTimeAPI->DateTimeType)
        return datetime(v);
    return object(v, depth);
}

// An item of a container at depth - 1: a leaf written at once, anything else held while it is
// written (writing it may run Python code that drops the container's reference).
template <bool J>
inline outcome Walk<J>::item(PyObject* v, int depth) {
    const outcome r = leaf(v);
    if (r != not_leaf)
        return r;
    ov::object hold = ov::borrow(v);
    return inner(v, depth);
}

// A dict whose keys are all exact str: its count, its keys' identity, then its values in its
// order; any other: the M form, keys and values one after the other. One pass: the header is
// written first and its identity filled in once every key was seen.
template <bool J>
outcome Walk<J>::dict(PyObject* d, int depth, bool top) {
    const Py_ssize_t n = PyDict_GET_SIZE(d);
    if (depth > max_depth || (n && depth >= max_depth))  // (its items would be too deep)
        return outcome::other;
    constexpr Py_ssize_t local_n = 32;
    PyObject* local[local_n];
    std::unique_ptr<PyObject*[]> heap;
    PyObject** ks = local;
    if (n > local_n) {
        heap.reset(new PyObject*[static_cast<size_t>(n)]);
        ks = heap.get();
    }
    const size_t head = dig_.size();
    const size_t json_head = J ? json_->size() : 0;
    put_dict_head(dig_, n, 0);
    if constexpr (J)
        json_->push_back('{');
    State& st = *self_->st;
    uint64_t mix = 0;
    bool first = true;
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *val;
    while (PyDict_Next(d, &pos, &key, &val)) {
        if (!Py_IS_TYPE(key, &PyUnicode_Type)) {  // written again, in the other form
            dig_.resize(head);
            if constexpr (J)
                json_->resize(json_head);
            return mapping(d, depth);
        }
        if (i == n)
            return outcome::other;
        mix = mix_key(mix, key);
        ks[i++] = key;
        bool to_json = J;
        if constexpr (J) {
            if (top && is_name(key, n_event_type)) {
                to_json = false;
            } else {
                if (!first)
                    json_->push_back(',');
                first = false;
                const outcome r = json_key(key);
                if (r != outcome::ok)
                    return r;
            }
        }
        // Encoding a value can run Python code (a class's first classification, a collection
        // triggered by an allocation), which could change the dict: a value that is not a
        // leaf is held while it is written, and the walk stops when the dict's size moved.
        Walk<false> quiet = digest_only();
        outcome r = to_json ? leaf(val) : quiet.leaf(val);
        if (r == not_leaf && Py_IS_TYPE(val, PyDateTimeAPI->DateTimeType))  // (runs no Python code)
            r = to_json ? datetime(val) : quiet.datetime(val);
        if (r == not_leaf) {
            ov::object hold = ov::borrow(val);
            r = to_json ? inner(val, depth + 1) : quiet.inner(val, depth + 1);
            if (r == outcome::ok && PyDict_GET_SIZE(d) != n)
                return outcome::other;
        }
        if (r != outcome::ok)
            return r;
    }
    if (i != n)
        return outcome::other;
    uint64_t id;
    const auto un = static_cast<size_t>(n);
    KeyShape& kept = shape_slot(st, mix);
    if (holds_keys(kept, ks, un)) {
        id = kept.id;
    } else {
        const outcome r = new_keys_id(st, kept, ks, un, &id);
        if (r != outcome::ok)
            return r;
    }
    if constexpr (std::endian::native == std::endian::big)
        id = __builtin_bswap64(id);
    std::memcpy(dig_.at(head + 5), &id, 8);
    if constexpr (J)
        json_->push_back('}');
    return outcome::ok;
}

// The items of an object read from its values array, as a dict's: the header, then each value
// (and, with J, each key's JSON before it; the event's `event_type` is not in the event file's
// fields). Writing a
// value may run Python code (a class's first classification, a collection triggered by an
// allocation) that changes what is being written: a value that is not a leaf is held while it
// is written, and the walk stops (declines) when the source changed meanwhile.
template <bool J>
template <class Source>
outcome Walk<J>::body(const Source& src, PyObject* const* ks, Py_ssize_t n, int depth, bool top) {
    uint64_t id;
    outcome r = keys_id(*self_->st, ks, static_cast<size_t>(n), &id);
    if (r != outcome::ok)
        return r;
    put_dict_head(dig_, n, id);
    if constexpr (J)
        json_->push_back('{');
    bool first = true;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* val = src.at(i);
        bool to_json = J;
        if constexpr (J) {
            if (top && is_name(ks[i], n_event_type)) {
                to_json = false;
                etype = ov::borrow(val);  // (held: the event's line begins with its name)
            } else {
                if (!first)
                    json_->push_back(',');
                first = false;
                r = json_key(ks[i]);
                if (r != outcome::ok)
                    return r;
            }
        }
        Walk<false> quiet = digest_only();
        r = to_json ? leaf(val) : quiet.leaf(val);
        if (r == not_leaf && Py_IS_TYPE(val, PyDateTimeAPI->DateTimeType))  // (runs no Python code)
            r = to_json ? datetime(val) : quiet.datetime(val);
        if (r == not_leaf) {
            ov::object hold = ov::borrow(val);
            r = to_json ? inner(val, depth + 1) : quiet.inner(val, depth + 1);
            if (r == outcome::ok && !src.unchanged())
                return outcome::other;
        }
        if (r != outcome::ok)
            return r;
    }
    if constexpr (J)
        json_->push_back('}');
    return outcome::ok;
}

// A dict with a key that is not an exact str (never in the event file: JSON keys are text).
template <bool J>
outcome Walk<J>::mapping(PyObject* d, int depth) {
    if constexpr (J) {
        (void)d, (void)depth;
        return outcome::other;
    } else {
        const Py_ssize_t n = PyDict_GET_SIZE(d);
        put_count(dig_, 'M', n);
        Py_ssize_t pos = 0;
        PyObject *key, *val;
        while (PyDict_Next(d, &pos, &key, &val)) {
            ov::object k = ov::borrow(key), x = ov::borrow(val);
            outcome r = item(key, depth + 1);
            if (r == outcome::ok)
                r = item(val, depth + 1);
            if (r != outcome::ok)
                return r;
            if (PyDict_GET_SIZE(d) != n)
                return outcome::other;
        }
        return outcome::ok;
    }
}

// A key's JSON and its colon.
template <bool J>
outcome Walk<J>::json_key(PyObject* key) {
    const KeyText* kt = key_text(self_->st->keys, key);
    if (kt != nullptr) {
        std::memcpy(json_->room(sizeof kt->text), kt->text, sizeof kt->text);
        json_->commit(kt->n);
        return outcome::ok;
    }
    Py_ssize_t n;
    const char* u = utf8_of(key, &n);
    if (u == nullptr)  // a lone surrogate: the Python encoding decides
        return ov::clear_if_exception() ? outcome::other : outcome::error;
    text::append_string(*json_, u, static_cast<size_t>(n));
    json_->push_back(':');
    return outcome::ok;
}

// A record read from its values array: its name, then its attributes as a dict; not_leaf when
// the array cannot be read (no array now, a name not learned yet): its dict is asked for.
template <bool J>
outcome Walk<J>::record_attrs(PyObject* v, const TypeEntry& e, int depth) {
    PyTypeObject* t = Py_TYPE(v);
    PyObject** values = attrs::live_values(v);
    uint8_t order[attrs::max_entries];
    PyObject* ks[attrs::max_entries];
    int count;
    if (values == nullptr || !gather(e, t, values, order, ks, &count))
        return not_leaf;
    if (e.ndim_entry >= 0 && values[e.ndim_entry] != nullptr)  // array-like: not a record
        return outcome::other;
    if (depth + 1 > max_depth || (count && depth + 1 >= max_depth))
        return outcome::other;
    dig_.push_back('o');
    dig_.append(e.digest_name.data(), e.digest_name.size());
    if constexpr (J)
        json_->append(e.json_head.data(), e.json_head.size());
    const ArrayValues src{v, values, order, count};
    const outcome r = body(src, ks, count, depth + 1, false);
    if constexpr (J) {
        if (r == outcome::ok)
            json_->push_back('}');
    }
    return r;
}

// An event read from its values array, as its attribute dict is written; not_leaf when it
// cannot be (its class is not one whose __dict__ is the instance's own, it has a dict, or a
// name is not learned yet): the caller asks for its __dict__.
template <bool J>
outcome Walk<J>::event(PyObject* ev) {
    PyTypeObject* t = Py_TYPE(ev);
    if (!attrs_walk_on || !attrs::has_layout(t) || attrs::live_values(ev) == nullptr)
        return not_leaf;
    const TypeEntry* e = type_entry(self_, t);
    if (e == nullptr)
        return outcome::error;
    if (e->k != kind::record && e->k != kind::record_hooked && e->k != kind::dataclass)
        return not_leaf;
    PyObject** values = attrs::live_values(ev);  // (classify may have run Python code)
    uint8_t order[attrs::max_entries];
    PyObject* ks[attrs::max_entries];
    int count;
    if (values == nullptr || !gather(*e, t, values, order, ks, &count))
        return not_leaf;
    const ArrayValues src{ev, values, order, count};
    return body(src, ks, count, 0, true);
}

template <bool J>
outcome Walk<J>::sequence(PyObject* v, int depth, bool is_list) {
    const Py_ssize_t n = Py_SIZE(v);
    if (n && depth >= max_depth)  // (its items would be too deep)
        return outcome::other;
    put_count(dig_, is_list ? '[' : '(', n);
    if constexpr (J)
        json_->push_back('[');
    Py_ssize_t i = 0;
    if constexpr (!J) {
        // the floats and small ints a list of prices or volumes is made of, in one room (no
        // Python code runs while they are read)
        PyObject* const* items = is_list ? reinterpret_cast<PyListObject*>(v)->ob_item
                                         : reinterpret_cast<PyTupleObject*>(v)->ob_item;
        char* w = dig_.room(9 * static_cast<size_t>(n));
        for (; i < n; ++i, w += 9) {
            PyObject* x = items[i];
            uint64_t bits;
            long long small;
            if (Py_IS_TYPE(x, &PyFloat_Type)) {
                w[0] = 'd';
                bits = float_bits(PyFloat_AS_DOUBLE(x));
            } else if (Py_IS_TYPE(x, &PyLong_Type) && small_int(x, &small)) {
                w[0] = 'i';
                bits = static_cast<uint64_t>(small);
            } else {
                break;
            }
            if constexpr (std::endian::native == std::endian::big)
                bits = __builtin_bswap64(bits);
            std::memcpy(w + 1, &bits, 8);
        }
        dig_.commit(9 * static_cast<size_t>(i));
    }
    for (; i < n; ++i) {
        if (is_list && PyList_GET_SIZE(v) != n)  // changed by Python code run on the way
            return outcome::other;
        if constexpr (J) {
            if (i)
                json_->push_back(',');
        }
        const outcome r = item(is_list ? PyList_GET_ITEM(v, i) : PyTuple_GET_ITEM(v, i), depth + 1);
        if (r != outcome::ok)
            return r;
    }
    if (is_list && PyList_GET_SIZE(v) != n)
        return outcome::other;
    if constexpr (J)
        json_->push_back(']');
    return outcome::ok;
}

template <bool J>
outcome Walk<J>::datetime(PyObject* v) {
    if (PyDateTime_DATE_GET_TZINFO(v) != Py_None)
        return outcome::other;
    const int year = PyDateTime_GET_YEAR(v), month = PyDateTime_GET_MONTH(v),
              day = PyDateTime_GET_DAY(v), hour = PyDateTime_DATE_GET_HOUR(v),
              minute = PyDateTime_DATE_GET_MINUTE(v), second = PyDateTime_DATE_GET_SECOND(v),
              micro = PyDateTime_DATE_GET_MICROSECOND(v), fold = PyDateTime_DATE_GET_FOLD(v);
    char* w = dig_.room(13);
    w[0] = 'D';
    w[1] = static_cast<char>(year & 0xff);
    w[2] = static_cast<char>(year >> 8);
    w[3] = static_cast<char>(month);
    w[4] = static_cast<char>(day);
    w[5] = static_cast<char>(hour);
    w[6] = static_cast<char>(minute);
    w[7] = static_cast<char>(second);
    for (int i = 0; i < 4; ++i)
        w[8 + i] = static_cast<char>((static_cast<unsigned>(micro) >> (8 * i)) & 0xff);
    w[12] = static_cast<char>(fold);
    dig_.commit(13);
    if constexpr (J) {
        Buffer& j = *json_;
        j.push_back('"');
        text::append_digits(j, static_cast<unsigned>(year), 4);
        j.push_back('-');
        text::append_digits(j, static_cast<unsigned>(month), 2);
        j.push_back('-');
        text::append_digits(j, static_cast<unsigned>(day), 2);
        j.push_back('T');
        text::append_digits(j, static_cast<unsigned>(hour), 2);
        j.push_back(':');
        text::append_digits(j, static_cast<unsigned>(minute), 2);
        j.push_back(':');
        text::append_digits(j, static_cast<unsigned>(second), 2);
        if (micro) {
            j.push_back('.');
            text::append_digits(j, static_cast<unsigned>(micro), 6);
        }
        j.push_back('"');
    }
    return outcome::ok;
}

outcome classify(EventDigest* self, PyTypeObject* t, TypeEntry& e);

const TypeEntry* type_entry(EventDigest* self, PyTypeObject* t) {
    static const TypeEntry unknown;  // what is not kept: declined
    State& st = *self->st;
    size_t i = (reinterpret_cast<uintptr_t>(t) >> 4) % table_size;
    for (size_t probes = 0; probes < table_size; ++probes, i = (i + 1) % table_size) {
        TypeEntry& e = st.table[i];
        if (e.type == t && (t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) && t->tp_version_tag == e.tag)
            return &e;
        if (e.type == t || (e.type == nullptr && st.types < table_size / 2)) {
            const outcome r = classify(self, t, e);
            return r == outcome::error ? nullptr : r == outcome::other ? &unknown : &e;
        }
        if (e.type == nullptr)
            break;
    }
    return &unknown;
}

outcome classify(EventDigest* self, PyTypeObject* t, TypeEntry& e) {
    ov::object answer = ov::steal(PyObject_CallOneArg(self->classify, reinterpret_cast<PyObject*>(t)));
    if (!answer)
        return outcome::error;
    PyObject* a = answer.get();
    if (!PyTuple_Check(a) || PyTuple_GET_SIZE(a) < 2 || !PyLong_Check(PyTuple_GET_ITEM(a, 0)) ||
        !PyUnicode_Check(PyTuple_GET_ITEM(a, 1))) {
        PyErr_SetString(PyExc_TypeError, "classify() must return a tuple (int, str[, fields])");
        return outcome::error;
    }
    long k = PyLong_AsLong(PyTuple_GET_ITEM(a, 0));
    if (k == -1 && PyErr_Occurred())
        return outcome::error;
    PyObject* fields = nullptr;  // a dataclass's field names: a tuple of exact str
    if (k == 3) {
        fields = PyTuple_GET_SIZE(a) == 3 ? PyTuple_GET_ITEM(a, 2) : nullptr;
        if (fields == nullptr || !PyTuple_CheckExact(fields))
            k = 0;
        else
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields); ++i)
                if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(fields, i)))
                    k = 0;
    }
    if (k < 1 || k > 4)
        k = 0;
    Py_ssize_t n = 0;
    const char* name = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(a, 1), &n);
    if (name == nullptr)
        return ov::clear_if_exception() ? outcome::other : outcome::error;
    if (e.type != nullptr && e.type != t)  // the slot was taken while classify ran
        return outcome::other;
    // The tag is read after the question: classify's own look-ups give the class one.
    const bool tagged = (t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) && t->tp_version_tag != 0;
    PyObject* old = e.fields;
    try {
        Buffer b;
        put_text(b, 's', name, static_cast<size_t>(n));
        std::string dname(b.data(), b.size());
        Buffer h;
        h += "{\"$type\":";
        text::append_string(h, name, static_cast<size_t>(n));
        h += ",\"fields\":";
        std::string head(h.data(), h.size());
        if (e.type == nullptr) {
            Py_INCREF(t);
            e.type = t;
            ++self->st->types;
        }
        e.k = tagged ? static_cast<kind>(k) : kind::other;
        e.tag = t->tp_version_tag;
        e.fields = e.k == kind::dataclass ? fields : nullptr;
        Py_XINCREF(e.fields);
        e.digest_name = std::move(dname);
        e.json_head = std::move(head);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return outcome::error;
    }
    Py_XDECREF(old);  // the entry is consistent: this may run Python code
    return outcome::ok;
}

template <bool J>
outcome Walk<J>::object(PyObject* v, int depth) {
    PyTypeObject* t = Py_TYPE(v);
    const MemberText* m = known_member(self_->st->members, v);
    if (m != nullptr && (!J || m->value != nullptr)) {
        dig_.append(m->name.data(), m->name.size());
        if constexpr (J) {
            const size_t mark = dig_.size();
            const outcome r = leaf(m->value);  // its value, in the JSON only
            dig_.resize(mark);
            return r;
        }
        return outcome::ok;
    }
    const TypeEntry* e = type_entry(self_, t);
    if (e == nullptr)
        return outcome::error;
    const kind k = e->k;
    if (k == kind::other)
        return outcome::other;
    if (k == kind::record && attrs_walk_on) {
        const outcome r = record_attrs(v, *e, depth);
        if (r != not_leaf)
            return r;
    }
    Captured cap;
    if (k != kind::enumeration)
        capture(v, cap);
    ov::object d = ov::steal(PyObject_GenericGetDict(v, nullptr));
    if (!d)
        return ov::clear_if_exception() ? outcome::other : outcome::error;
    if (!PyDict_CheckExact(d.get()))
        return outcome::other;
    PyObject* dd = d.get();
    if (cap.count >= 0 && e->type == t && learn(const_cast<TypeEntry&>(*e), t, cap, dd) == outcome::error)
        return outcome::error;
    ov::object name, val;
    if (k == kind::enumeration) {
        name = ov::borrow(PyDict_GetItemWithError(dd, n_name));
        if (!name || !PyUnicode_CheckExact(name.get()))
            return PyErr_Occurred() ? outcome::error : outcome::other;
        if constexpr (J) {
            val = ov::borrow(PyDict_GetItemWithError(dd, n_value));
            if (!val)
                return PyErr_Occurred() ? outcome::error : outcome::other;
            PyTypeObject* vt = Py_TYPE(val.get());
            if (vt != &PyUnicode_Type && vt != &PyLong_Type && vt != &PyFloat_Type)
                return outcome::other;
        }
    } else {
        const int has = PyDict_Contains(dd, n_ndim);
        if (has < 0)
            return outcome::error;
        if (has)
            return outcome::other;
        if (k == kind::record_hooked) {
            ov::object a = ov::steal(PyObject_GetAttr(v, n_ndim));
            if (a)
                return outcome::other;
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                return ov::clear_if_exception() ? outcome::other : outcome::error;
            PyErr_Clear();
        }
    }
    // The look-ups above may have run Python code, which may have changed the class or
    // reclassified it (rewriting its entry): ask again, and write its names at once.
    if (e->type != t || !(t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) || t->tp_version_tag != e->tag) {
        e = type_entry(self_, t);
        if (e == nullptr)
            return outcome::error;
    }
    if (e->k != k)
        return outcome::other;
    if (k == kind::enumeration) {
        dig_.push_back('e');
        dig_.append(e->digest_name.data(), e->digest_name.size());
        const size_t name_at = dig_.size();
        outcome r = digest_only().string(name.get());
        if (r != outcome::ok)
            return r;
        remember_member(self_->st->members, v, *e, dd, dig_.data() + name_at, dig_.size() - name_at, val.get());
        if constexpr (J) {
            // its value, in the JSON only
            const size_t mark = dig_.size();
            r = leaf(val.get());
            dig_.resize(mark);
        }
        return r;
    }
    dig_.push_back('o');
    dig_.append(e->digest_name.data(), e->digest_name.size());
    if constexpr (J) {
        if (k == kind::dataclass)
            return dataclass(dd, ov::borrow(e->fields), depth);
        json_->append(e->json_head.data(), e->json_head.size());
    }
    outcome r = dict(dd, depth + 1, false);
    if constexpr (J) {
        if (r == outcome::ok)
            json_->push_back('}');
    }
    return r;
}

// A dataclass instance whose class and name are written: its attribute dict into the digest,
// then its fields, in their order, into the JSON as a plain object (what msgspec writes of a
// dataclass); a field missing from the dict declines.
template <bool J>
outcome Walk<J>::dataclass(PyObject* dd, ov::object fields, int depth) {
    outcome r = digest_only().dict(dd, depth + 1, false);
    if (r != outcome::ok)
        return r;
    const size_t mark = dig_.size();
    json_->push_back('{');
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields.get()); ++i) {
        PyObject* key = PyTuple_GET_ITEM(fields.get(), i);
        ov::object val = ov::borrow(PyDict_GetItemWithError(dd, key));
        if (!val)
            return PyErr_Occurred() ? outcome::error : outcome::other;
        if (i)
            json_->push_back(',');
        r = string(key);
        if (r == outcome::ok) {
            json_->push_back(':');
            r = value(val.get(), depth + 2);
        }
        dig_.resize(mark);
        if (r != outcome::ok)
            return r;
    }
    json_->push_back('}');
    return outcome::ok;
}

// ---------------------------------------------------------------------------------------------
// Methods

void hash_pending(State& st, bool all_stripes) {
    Buffer& b = st.pending;
    if (!all_stripes && b.size() < hash_chunk)
        return;
    const size_t whole = b.size() & ~size_t{31};
    if (whole == 0)
        return;
    const auto* p = reinterpret_cast<const unsigned char*>(b.data());
    st.h0.stripes(p, whole);
    const size_t rest = b.size() - whole;
    char tail[32];
    std::memcpy(tail, b.data() + whole, rest);
    b.clear();
    b.append(tail, rest);
}

bool usable(EventDigest* self) {
    if (self->st == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "EventDigest is not initialised");
        return false;
    }
    return true;
}

// The digest bytes of a declined event, from the Python encoding.
int add_fallback(EventDigest* self, PyObject* fields) {
    ++self->st->declined;
    ov::object b = ov::steal(PyObject_CallOneArg(self->fallback, fields));
    if (!b)
        return -1;
    if (!PyBytes_Check(b.get())) {
        PyErr_Format(PyExc_TypeError, "fallback() must return bytes, not %.200s", Py_TYPE(b.get())->tp_name);
        return -1;
    }
    self->st->pending.append(PyBytes_AS_STRING(b.get()), static_cast<size_t>(PyBytes_GET_SIZE(b.get())));
    return 0;
}

// One event into the digest and, with json, its fields' JSON into st.json. ok: both written;
// other: the walk declined and the fallback's bytes were added to the digest, what the walk
// added to the JSON taken back (what the buffer held before stays).
outcome encode(EventDigest* self, PyObject* fields, Buffer* json) {
    State& st = *self->st;
    if (!PyDict_CheckExact(fields)) {
        PyErr_Format(PyExc_TypeError, "an event's attribute dict must be a dict, not %.200s",
                     Py_TYPE(fields)->tp_name);
        return outcome::error;
    }
    const size_t mark = st.pending.size();
    const size_t json_mark = json ? json->size() : 0;
    outcome r;
    try {
        r = json ? Walk<true>(self, json).fields(fields) : Walk<false>(self, nullptr).fields(fields);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        r = outcome::error;
    }
    if (r != outcome::ok) {
        st.pending.resize(mark);
        if (json)
            json->resize(json_mark);
        if (r == outcome::error)
            return r;
        try {
            if (add_fallback(self, fields) < 0)
                return outcome::error;
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return outcome::error;
        }
    }
    hash_pending(st, false);
    return r;
}

// add(fields): an event's attribute dict into the digest.
PyObject* digest_add(PyObject* op, PyObject* fields) {
    auto* self = reinterpret_cast<EventDigest*>(op);
    if (!usable(self) || encode(self, fields, nullptr) == outcome::error)
        return nullptr;
    Py_RETURN_NONE;
}

// The attribute dict of `ev`, as vars(ev) gives it; nullptr: an error is set.
PyObject* vars_of(PyObject* ev) {
    PyObject* d = PyObject_GetAttr(ev, n_dict);
    if (d == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "vars() argument must have __dict__ attribute");
    }
    return d;
}

// vars(ev), and when ev kept its attributes in its values array until now, the names of the
// array's entries learned from the dict made of it (so that the next event of its class is read
// from its array). nullptr: an error is set.
PyObject* vars_learned(EventDigest* self, PyObject* ev) {
    PyTypeObject* t = Py_TYPE(ev);
    const TypeEntry* e = nullptr;
    Captured cap;
    if (attrs_walk_on && attrs::has_layout(t) && attrs::live_values(ev)) {
        e = type_entry(self, t);
        if (e == nullptr)
            return nullptr;
        capture(ev, cap);  // (after type_entry, which may run Python code)
    }
    ov::object d = ov::steal(vars_of(ev));
    if (!d)
        return nullptr;
    if (e != nullptr && cap.count >= 0 && e->type == t &&
        (e->k == kind::record || e->k == kind::record_hooked || e->k == kind::dataclass) &&
        learn(const_cast<TypeEntry&>(*e), t, cap, d.get()) == outcome::error)
        return nullptr;
    return d.release();
}

// One event object into the digest: read from its values array when it has one and its names
// are known, else through its __dict__ (whose names are then learned), as add(vars(ev)).
outcome encode_object(EventDigest* self, PyObject* ev) {
    State& st = *self->st;
    const size_t mark = st.pending.size();
    outcome r;
    try {
        r = Walk<false>(self, nullptr).event(ev);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        r = outcome::error;
    }
    if (r == outcome::ok) {
        hash_pending(st, false);
        return r;
    }
    st.pending.resize(mark);
    if (r == outcome::error)
        return r;
    ov::object d = ov::steal(r == not_leaf ? vars_learned(self, ev) : vars_of(ev));
    if (!d)
        return outcome::error;
    if (r == outcome::other) {  // declined half way: the Python encoding writes it all
        try {
            return add_fallback(self, d.get()) < 0 ? outcome::error : outcome::other;
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return outcome::error;
        }
    }
    return encode(self, d.get(), nullptr);
}

// add_object(event): an event into the digest, as add(vars(event)).
PyObject* digest_add_object(PyObject* op, PyObject* ev) {
    auto* self = reinterpret_cast<EventDigest*>(op);
    if (!usable(self) || encode_object(self, ev) == outcome::error)
        return nullptr;
    Py_RETURN_NONE;
}

// Appends `buf` to the bytearray `lines` and empties it (its room kept up to 1 MiB); false: an
// error is set (the buffer is emptied all the same).
bool move_into(PyObject* lines, Buffer& buf) {
    const Py_ssize_t n = PyByteArray_GET_SIZE(lines);
    if (PyByteArray_Resize(lines, n + static_cast<Py_ssize_t>(buf.size())) < 0) {
        buf.clear();
        return false;
    }
    std::memcpy(PyByteArray_AS_STRING(lines) + n, buf.data(), buf.size());
    buf.clear();
    buf.trim(1 << 20);
    return true;
}

// add_line(fields, lines) -> bool: an event's attribute dict into the digest, and the JSON of
// its fields (without event_type) appended to the bytearray `lines`; False when the JSON was
// left to the caller (the digest then has the fallback's bytes).
PyObject* digest_add_line(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
    auto* self = reinterpret_cast<EventDigest*>(op);
    if (!usable(self))
        return nullptr;
    if (nargs != 2 || !PyByteArray_CheckExact(args[1])) {
        PyErr_SetString(PyExc_TypeError, "add_line(fields, lines) takes a dict and a bytearray");
        return nullptr;
    }
    Buffer& json = self->st->json;
    json.clear();
    const outcome r = encode(self, args[0], &json);
    if (r == outcome::error)
        return nullptr;
    if (r == outcome::other)
        Py_RETURN_FALSE;
    if (!move_into(args[1], json))
        return nullptr;
    Py_RETURN_TRUE;
}

// The beginning of the line of an event of type `etype` (borrowed; may be None), from the
// cache or asked of head_of; nullptr: an error is set. The result is borrowed from the cache
// or, when head_of said not to keep it, owned by `hold`.
PyObject* line_head(EventDigest* self, PyObject* etype, ov::object& hold) {
    State& st = *self->st;
    HeadEntry& e = st.heads[(reinterpret_cast<uintptr_t>(etype) >> 4) % head_slots];
    if (e.etype == etype)
        return e.head;
    ov::object t = ov::borrow(etype);  // head_of may drop the dict's reference
    ov::object answer = ov::steal(PyObject_CallOneArg(self->head_of, etype));
    if (!answer)
        return nullptr;
    PyObject* a = answer.get();
    if (!PyTuple_CheckExact(a) || PyTuple_GET_SIZE(a) != 2 || !PyBytes_CheckExact(PyTuple_GET_ITEM(a, 0))) {
        PyErr_SetString(PyExc_TypeError, "head_of() must return a tuple (bytes, bool)");
        return nullptr;
    }
    const int keep = PyObject_IsTrue(PyTuple_GET_ITEM(a, 1));
    if (keep < 0)
        return nullptr;
    PyObject* head = PyTuple_GET_ITEM(a, 0);
    if (!keep) {
        hold = ov::borrow(head);
        return head;
    }
    // (the slot is looked at again: head_of may have filled it)
    HeadEntry& slot = st.heads[(reinterpret_cast<uintptr_t>(etype) >> 4) % head_slots];
    PyObject* old_type = slot.etype;
    PyObject* old_head = slot.head;
    Py_INCREF(etype);
    Py_INCREF(head);
    slot.etype = etype;
    slot.head = head;
    Py_XDECREF(old_type);  // the entry is consistent: these may run Python code
    Py_XDECREF(old_head);
    hold = ov::borrow(head);
    return head;
}

// The beginning of an event's line, up to its "fields":, into b.
void line_start(EventDigest* self, Buffer& b, PyObject* head, long long number, const char* src,
                Py_ssize_t src_n) {
    b.append(PyBytes_AS_STRING(head), static_cast<size_t>(PyBytes_GET_SIZE(head)));
    if (src == nullptr) {
        b.append(PyBytes_AS_STRING(self->session), static_cast<size_t>(PyBytes_GET_SIZE(self->session)));
        text::append_int(b, number);
        b.push_back('"');
    } else {
        text::append_string(b, src, static_cast<size_t>(src_n));
    }
    b.append(",\"fields\":", 10);
}

// add_event for an event object read from its values array: its fields' JSON is written first,
// then the line is put together (its head depends on the event type met on the way). ok: the
// line appended to `lines` and the event in the digest; other: nothing done (the caller reads
// its __dict__); error: an error is set, nothing changed.
outcome event_line(EventDigest* self, PyObject* ev, long long number, const char* src, Py_ssize_t src_n,
                   PyObject* lines) {
    State& st = *self->st;
    const size_t mark = st.pending.size();
    Buffer& json = st.json;
    json.clear();
    outcome r;
    ov::object etype;
    try {
        Walk<true> w(self, &json);
        r = w.event(ev);
        etype = std::move(w.etype);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        r = outcome::error;
    }
    if (r == outcome::ok) {
        ov::object head_hold;
        PyObject* head = line_head(self, etype ? etype.get() : Py_None, head_hold);
        if (head == nullptr) {
            r = outcome::error;
        } else {
            ov::object head_ref = ov::borrow(head);
            Buffer& line = st.scratch;
            try {
                line.clear();
                line_start(self, line, head, number, src, src_n);
                line.append(json.data(), json.size());
                line.append("}\n", 2);
            } catch (const std::bad_alloc&) {
                PyErr_NoMemory();
                r = outcome::error;
            }
            json.clear();
            if (r == outcome::ok && !move_into(lines, line))
                r = outcome::error;
            line.clear();
        }
    }
    json.clear();
    if (r != outcome::ok) {
        st.pending.resize(mark);
        return r == outcome::error ? r : outcome::other;
    }
    hash_pending(st, false);
    return outcome::ok;
}

// add_event(fields, source, lines) -> True, False or None: the event's whole line
//   {"event":...,"source":...,"fields":{...}}\n
// appended to the bytearray `lines` and its fields into the digest (True); or the digest
// taken and the line written up to its "fields": (False: the caller appends the fields' JSON
// and }\n); or nothing done (None: a source other than an int of 64 bits or a str with UTF-8,
// so the caller does all of it). `source` is a text or the number of a line of the session.
// `fields` may be the event itself, read from its values array where it can be (as its
// __dict__ otherwise).
PyObject* digest_add_event(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
    auto* self = reinterpret_cast<EventDigest*>(op);
    if (!usable(self))
        return nullptr;
    if (nargs != 3 || !PyByteArray_CheckExact(args[2])) {
        PyErr_SetString(PyExc_TypeError, "add_event(fields, source, lines) takes a dict, a source and a bytearray");
        return nullptr;
    }
    if (self->head_of == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "add_event() needs line_parts() first");
        return nullptr;
    }
    PyObject* fields = args[0];
    PyObject* source = args[1];
    if (PyList_Check(fields) || PyTuple_Check(fields)) {  // (neither is an event)
        PyErr_Format(PyExc_TypeError, "an event's attribute dict must be a dict, not %.200s",
                     Py_TYPE(fields)->tp_name);
        return nullptr;
    }
    long long number = 0;
    const char* src = nullptr;
    Py_ssize_t src_n = 0;
    if (Py_IS_TYPE(source, &PyLong_Type)) {
        int overflow = 0;
        number = PyLong_AsLongLongAndOverflow(source, &overflow);
        if (overflow)
            Py_RETURN_NONE;
        if (number == -1 && PyErr_Occurred())
            return nullptr;
    } else if (Py_IS_TYPE(source, &PyUnicode_Type)) {
        src = PyUnicode_AsUTF8AndSize(source, &src_n);
        if (src == nullptr) {
            if (!ov::clear_if_exception())
                return nullptr;
            Py_RETURN_NONE;
        }
    } else {
        Py_RETURN_NONE;
    }
    ov::object src_hold = ov::borrow(source);
    ov::object fields_hold;
    if (!PyDict_CheckExact(fields)) {  // an event: read from its values array, or its __dict__
        const outcome r = event_line(self, fields, number, src, src_n, args[2]);
        if (r == outcome::error)
            return nullptr;
        if (r == outcome::ok)
            Py_RETURN_TRUE;
        fields_hold = ov::steal(vars_learned(self, fields));
        if (!fields_hold)
            return nullptr;
        fields = fields_hold.get();
        if (!PyDict_CheckExact(fields)) {
            PyErr_Format(PyExc_TypeError, "an event's attribute dict must be a dict, not %.200s",
                         Py_TYPE(fields)->tp_name);
            return nullptr;
        }
    }
    PyObject* etype = PyDict_GetItemWithError(fields, n_event_type);
    if (etype == nullptr) {
        if (PyErr_Occurred())
            return nullptr;
        etype = Py_None;
    }
    ov::object head_hold;
    PyObject* head = line_head(self, etype, head_hold);
    if (head == nullptr)
        return nullptr;
    ov::object head_ref = ov::borrow(head);
    Buffer& line = self->st->json;
    line.clear();
    outcome r;
    try {
        line_start(self, line, head, number, src, src_n);
    } catch (const std::bad_alloc&) {
        line.clear();
        PyErr_NoMemory();
        return nullptr;
    }
    r = encode(self, fields, &line);
    if (r == outcome::error) {
        line.clear();
        return nullptr;
    }
    if (r == outcome::ok) {
        try {
            line.append("}\n", 2);
        } catch (const std::bad_alloc&) {
            line.clear();
            PyErr_NoMemory();
            return nullptr;
        }
    }
    if (!move_into(args[2], line))
        return nullptr;
    if (r == outcome::ok)
        Py_RETURN_TRUE;
    Py_RETURN_FALSE;
}

// line_parts(head_of, session): what add_event writes before an event's fields: head_of(event
// type) -> (bytes, keep), the line's {"event":...,"source": (kept by the event type's
// identity when keep is true; the type is then held), and the session's '"name:' as JSON
// bytes, which a source given as a line number follows.
PyObject* digest_line_parts(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
    auto* self = reinterpret_cast<EventDigest*>(op);
    if (!usable(self))
        return nullptr;
    if (nargs != 2 || !PyCallable_Check(args[0]) || !PyBytes_CheckExact(args[1])) {
        PyErr_SetString(PyExc_TypeError, "line_parts(head_of, session) takes a callable and bytes");
        return nullptr;
    }
    PyObject* old_head_of = self->head_of;
    PyObject* old_session = self->session;
    Py_INCREF(args[0]);
    Py_INCREF(args[1]);
    self->head_of = args[0];
    self->session = args[1];
    State& st = *self->st;
    for (HeadEntry& e : st.heads) {  // heads of the previous head_of are dropped
        PyObject* t = e.etype;
        PyObject* h = e.head;
        e.etype = nullptr;
        e.head = nullptr;
        Py_XDECREF(t);
        Py_XDECREF(h);
    }
    Py_XDECREF(old_head_of);
    Py_XDECREF(old_session);
    Py_RETURN_NONE;
}

// update(data): bytes appended to the stream as they are.
PyObject* digest_update(PyObject* op, PyObject* data) {
    auto* self = reinterpret_cast<EventDigest*>(op);
    if (!usable(self))
        return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0)
        return nullptr;
    try {
        self->st->pending.append(static_cast<const char*>(view.buf), static_cast<size_t>(view.len));
    } catch (const std::bad_alloc&) {
        PyBuffer_Release(&view);
        return PyErr_NoMemory();
    }
    PyBuffer_Release(&view);
    hash_pending(*self->st, false);
    Py_RETURN_NONE;
}

// pending() -> bytes: the stream's bytes not yet hashed.
PyObject* digest_pending(PyObject* op, PyObject*) {
    auto* self = reinterpret_cast<EventDigest*>(op);
    if (!usable(self))
        return nullptr;
    const Buffer& b = self->st->pending;
    return PyBytes_FromStringAndSize(b.data(), static_cast<Py_ssize_t>(b.size()));
}

PyObject* digest_flush(PyObject* op, PyObject*) {
    auto* self = reinterpret_cast<EventDigest*>(op);
    if (!usable(self))
        return nullptr;
    hash_pending(*self->st, true);
    Py_RETURN_NONE;
}

// hexdigest() -> str: the digest of the stream so far (the stream may go on).
PyObject* digest_hexdigest(PyObject* op, PyObject*) {
    auto* self = reinterpret_cast<EventDigest*>(op);
    if (!usable(self))
        return nullptr;
    State& st = *self->st;
    hash_pending(st, true);
    const auto* p = reinterpret_cast<const unsigned char*>(st.pending.data());
    const uint64_t h = st.h0.finish(p, st.pending.size());
    static const char hex[] = "0123456789abcdef";
    char out[16];
    for (int j = 0; j < 16; ++j)
        out[j] = hex[(h >> (60 - 4 * j)) & 15];
    return PyUnicode_FromStringAndSize(out, 16);
}

PyObject* digest_get_declined(PyObject* op, void*) {
    auto* self = reinterpret_cast<EventDigest*>(op);
    if (!usable(self))
        return nullptr;
    return PyLong_FromUnsignedLongLong(self->st->declined);
}

int digest_init(PyObject* op, PyObject* args, PyObject* kwds) {
    auto* self = reinterpret_cast<EventDigest*>(op);
    static const char* kwlist[] = {"classify", "fallback", nullptr};
    PyObject* classify;
    PyObject* fallback;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:EventDigest", const_cast<char**>(kwlist), &classify,
                                     &fallback))
        return -1;
    if (!PyCallable_Check(classify) || !PyCallable_Check(fallback)) {
        PyErr_SetString(PyExc_TypeError, "EventDigest(classify, fallback) takes two callables");
        return -1;
    }
    if (self->st != nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "EventDigest is initialised already");
        return -1;
    }
    State* st = new (std::nothrow) State();
    if (st == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    st->h0.reset(0);
    Py_INCREF(classify);
    Py_INCREF(fallback);
    self->classify = classify;
    self->fallback = fallback;
    self->st = st;
    return 0;
}

int digest_traverse(PyObject* op, visitproc visit, void* arg) {
    auto* self = reinterpret_cast<EventDigest*>(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(self->classify);
    Py_VISIT(self->fallback);
    Py_VISIT(self->head_of);
    Py_VISIT(self->session);
    if (self->st != nullptr) {
        for (const TypeEntry& e : self->st->table) {
            Py_VISIT(reinterpret_cast<PyObject*>(e.type));
            Py_VISIT(e.fields);
            Py_VISIT(e.pin);
        }
        for (const HeadEntry& e : self->st->heads) {
            Py_VISIT(e.etype);
            Py_VISIT(e.head);
        }
        for (const MemberText& e : self->st->members)
            Py_VISIT(e.member);
    }
    return 0;
}

int digest_clear(PyObject* op) {
    auto* self = reinterpret_cast<EventDigest*>(op);
    Py_CLEAR(self->classify);
    Py_CLEAR(self->fallback);
    Py_CLEAR(self->head_of);
    Py_CLEAR(self->session);
    if (self->st != nullptr) {
        for (KeyText& e : self->st->keys) {
            PyObject* k = e.key;
            e.key = nullptr;
            Py_XDECREF(k);
        }
        for (HeadEntry& e : self->st->heads) {
            PyObject* t = e.etype;
            PyObject* h = e.head;
            e.etype = nullptr;
            e.head = nullptr;
            Py_XDECREF(t);
            Py_XDECREF(h);
        }
        for (MemberText& e : self->st->members) {
            PyObject* m = e.member;
            e.member = nullptr;
            e.dict = e.value = nullptr;
            Py_XDECREF(m);
        }
        for (KeyShape& e : self->st->shapes) {
            const uint32_t n = e.n ? e.n - 1 : 0;
            e.n = 0;
            for (uint32_t i = 0; i < n; ++i) {
                PyObject* k = e.keys[i];
                e.keys[i] = nullptr;
                Py_XDECREF(k);
            }
        }
        for (TypeEntry& e : self->st->table) {
            PyObject* t = reinterpret_cast<PyObject*>(e.type);
            PyObject* f = e.fields;
            PyObject* pin = e.pin;
            e.type = nullptr;
            e.fields = nullptr;
            e.pin = nullptr;
            e.keys = nullptr;
            e.attrs_off = false;
            e.ndim_entry = -1;
            e.k = kind::other;
            for (PyObject*& name : e.names) {
                PyObject* k = name;
                name = nullptr;
                Py_XDECREF(k);
            }
            Py_XDECREF(t);
            Py_XDECREF(f);
            Py_XDECREF(pin);
        }
        self->st->types = 0;
    }
    return 0;
}

void digest_dealloc(PyObject* op) {
    auto* self = reinterpret_cast<EventDigest*>(op);
    PyTypeObject* tp = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    digest_clear(op);
    delete self->st;
    self->st = nullptr;
    tp->tp_free(op);
    Py_DECREF(tp);
}

PyMethodDef digest_methods[] = {
    {"add", digest_add, METH_O, "add(fields): an event's attribute dict into the digest."},
    {"add_object", digest_add_object, METH_O, "add_object(event): as add(vars(event))."},
    {"add_line", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(digest_add_line)), METH_FASTCALL,
     "add_line(fields, lines) -> bool: into the digest, and the fields' JSON (event_type left\n"
     "out) appended to the bytearray lines; False when the JSON is left to the caller."},
    {"add_event", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(digest_add_event)), METH_FASTCALL,
     "add_event(fields, source, lines) -> True, False or None: into the digest, and the event's\n"
     "whole line appended to lines (True); the line up to its fields (False); nothing (None).\n"
     "fields: the event's attribute dict, or the event."},
    {"line_parts", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(digest_line_parts)), METH_FASTCALL,
     "line_parts(head_of, session): what add_event writes before an event's fields."},
    {"update", digest_update, METH_O, "update(data): bytes appended to the stream as they are."},
    {"pending", digest_pending, METH_NOARGS, "pending() -> bytes: the stream's bytes not yet hashed."},
    {"flush", digest_flush, METH_NOARGS, "flush(): hashes what can be hashed now."},
    {"hexdigest", digest_hexdigest, METH_NOARGS, "hexdigest() -> str: the digest of the stream so far."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef digest_getset[] = {
    {"declined", digest_get_declined, nullptr, "events handed to the fallback", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot digest_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(digest_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(digest_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(digest_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(digest_clear)},
    {Py_tp_methods, digest_methods},
    {Py_tp_getset, digest_getset},
    {Py_tp_doc, const_cast<char*>(
        "EventDigest(classify, fallback)\n\n"
        "The replay's event digest: each event's attribute dict encoded in one pass, hashed, and\n"
        "with add_line also written as the event file's JSON.")},
    {0, nullptr},
};

PyType_Spec digest_spec = {
    "tiderec._events.EventDigest",
    sizeof(EventDigest),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    digest_slots,
};

// xxh64(data, seed=0) -> int: the hash the digest is made of, of one piece of bytes.
PyObject* module_xxh64(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 2) {
        PyErr_SetString(PyExc_TypeError, "xxh64(data, seed=0)");
        return nullptr;
    }
    unsigned long long seed = 0;
    if (nargs == 2) {
        seed = PyLong_AsUnsignedLongLong(args[1]);
        if (seed == static_cast<unsigned long long>(-1) && PyErr_Occurred())
            return nullptr;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) < 0)
        return nullptr;
    Xxh64 h;
    h.reset(seed);
    const auto* p = static_cast<const unsigned char*>(view.buf);
    const size_t n = static_cast<size_t>(view.len), whole = n & ~size_t{31};
    h.stripes(p, whole);
    const uint64_t r = h.finish(p + whole, n - whole);
    PyBuffer_Release(&view);
    return PyLong_FromUnsignedLongLong(r);
}

PyMethodDef module_methods[] = {
    {"xxh64", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(module_xxh64)), METH_FASTCALL,
     "xxh64(data, seed=0) -> int"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tiderec._events",
    "The replay's event digest and event lines, encoded in C (see tidesim.replay.digest).",
    -1,  // single-phase: the type and the names live for the process
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyTypeObject* digest_type = nullptr;

// The check at import: every class a record named Probe.
PyObject* probe_classify(PyObject*, PyObject*) { return Py_BuildValue("(is)", 1, "Probe"); }
PyMethodDef probe_classify_def = {"classify", probe_classify, METH_O, nullptr};

// One step of the check: 1 same, 0 different, -1 an error set.
int probe_round(EventDigest* self, PyObject* cls, const char* const* names, bool again) {
    ov::object p = ov::steal(PyObject_CallNoArgs(cls));
    if (!p)
        return -1;
    ov::object values[3] = {ov::steal(PyLong_FromLong(-7)), ov::steal(PyUnicode_FromString("\u00e9t\u00e9")),
                            ov::steal(Py_BuildValue("[dO]", 2.5, Py_None))};
    for (const ov::object& v : values)
        if (!v)
            return -1;
    for (int i = 0; i < 3; ++i)
        if (PyObject_SetAttrString(p.get(), names[i], values[i].get()) < 0)
            return -1;
    if (again && (PyObject_DelAttrString(p.get(), names[0]) < 0 ||
                  PyObject_SetAttrString(p.get(), names[0], values[0].get()) < 0))
        return -1;
    State& st = *self->st;
    st.pending.clear();
    const outcome r = Walk<false>(self, nullptr).event(p.get());
    if (r == outcome::error)
        return -1;
    if (r != outcome::ok || attrs::live_values(p.get()) == nullptr)  // (the array was read)
        return 0;
    const std::string from_array(st.pending.data(), st.pending.size());
    ov::object d = ov::steal(PyObject_GenericGetDict(p.get(), nullptr));
    if (!d)
        return -1;
    st.pending.clear();
    const outcome q = Walk<false>(self, nullptr).fields(d.get());
    if (q == outcome::error)
        return -1;
    const bool same = q == outcome::ok && from_array == std::string(st.pending.data(), st.pending.size());
    st.pending.clear();
    return same ? 1 : 0;
}

// Whether an instance's values array may be read instead of its dict: instances of a fresh
// class with their attributes set in several orders (one deleted and set again), each written
// from its array and then, its dict made, from the dict; 1 when every pair gives the same
// bytes (the array read each time), 0 when not, -1 on an interrupt.
int attrs_walk_agrees() {
#if TIDEREC_INLINE_ATTRS
    attrs_walk_on = true;
    int same = 0;
    {
        ov::object ns = ov::steal(PyDict_New());
        ov::object classify = ov::steal(PyCFunction_New(&probe_classify_def, nullptr));
        if (!ns || !classify)
            goto done;
        ov::object cls = ov::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O",
                                                         "Probe", &PyBaseObject_Type, ns.get()));
        if (!cls)
            goto done;
        ov::object dig = ov::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(digest_type),
                                                                classify.get(), classify.get(), nullptr));
        if (!dig)
            goto done;
        auto* self = reinterpret_cast<EventDigest*>(dig.get());
        // the first instance's dict teaches the names
        ov::object first = ov::steal(PyObject_CallNoArgs(cls.get()));
        if (!first || PyObject_SetAttrString(first.get(), "a", Py_None) < 0 ||
            PyObject_SetAttrString(first.get(), "b", Py_True) < 0 ||
            PyObject_SetAttrString(first.get(), "c", Py_False) < 0 ||
            encode_object(self, first.get()) == outcome::error)
            goto done;
        static const char* const orders[][3] = {{"a", "b", "c"}, {"c", "a", "b"}, {"b", "c", "a"}};
        same = 1;
        for (int i = 0; i < 6 && same == 1; ++i)
            same = probe_round(self, cls.get(), orders[i % 3], i >= 3);
    }
done:
    attrs_walk_on = false;
    if (PyErr_Occurred()) {
        if (!ov::clear_if_exception())
            return -1;
        same = 0;
    }
    return same == 1 ? 1 : 0;
#else
    return 0;
#endif
}

}  // namespace

PyMODINIT_FUNC PyInit__events() {
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr || ov::init_names() < 0)
        return nullptr;
    ov::object module = ov::steal(PyModule_Create(&module_def));
    if (!module)
        return nullptr;
    if (digest_type == nullptr) {
        digest_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&digest_spec));
        if (digest_type == nullptr)
            return nullptr;
    }
    if (PyModule_AddObjectRef(module.get(), "EventDigest", reinterpret_cast<PyObject*>(digest_type)) < 0)
        return nullptr;
    static int agree = -2;  // once a process: single-phase, the type lives for the process
    if (agree == -2) {
        agree = attrs_walk_agrees();
        if (agree < 0) {
            agree = -2;
            return nullptr;
        }
    }
    attrs_walk_on = agree == 1;
    if (PyModule_AddObjectRef(module.get(), "reads_values_arrays", attrs_walk_on ? Py_True : Py_False) < 0)
        return nullptr;
    return module.release();
}
