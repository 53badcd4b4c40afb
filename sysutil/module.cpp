// Delmique: clock and console utilities gathered in CLASS_Delmique.
//
// Every method looks `time` and `signal` up in the module namespace when it
// runs, so a host that replaces Delmique.time (a fake clock, say) changes
// what the methods call.
#include "host.hpp"

namespace delmique {
namespace {

using namespace host;

// Format shared by the clock read and the bound parser.
PyObject* hms() { return ID("%H%M%S"); }

// ------------------------------------------------------------ no-op ctor

Ref init(const Globals&, Handle) { return none(); }

// ------------------------------------------------------- interrupt key

Ref disable_ctrl_c(const Globals& g, Handle) {
    for (PyObject* signum : {ID("SIGINT"), ID("SIGTSTP")}) {
        Ref signal = g[ID("signal")];
        signal.call(ID("signal"), signal.attr(signum), signal.attr(ID("SIG_IGN")));
    }
    return none();
}

// --------------------------------------------------------- time ranges

// obj.split(sep): the str method directly for exact strings, otherwise
// whatever `split` the object has (AttributeError when it has none).
Ref split(Handle obj, PyObject* sep) {
    if (PyUnicode_CheckExact(obj.ptr())) return check(PyUnicode_Split(obj.ptr(), sep, -1));
    return obj.call(ID("split"), sep);
}

// seq[i] as the subscript operator reads it.
Ref item(Handle seq, Py_ssize_t i) {
    if (PyList_CheckExact(seq.ptr())) {
        if (i >= PyList_GET_SIZE(seq.ptr())) raise(PyExc_IndexError, "list index out of range");
        return Ref(Handle(PyList_GET_ITEM(seq.ptr(), i)));
    }
    return seq[integer(i)];
}

// The host's own time.strptime, taken when the module loads.
PyObject* host_strptime = nullptr;

// time.strptime(text, "%H%M%S"), `time` read from the module namespace.
// When its `strptime` is the host's own, call what that function calls,
// _strptime._strptime_time (read from sys.modules every time, so a
// replaced one is honoured), without the import round trip it makes on
// every call; anything else that stands in for it is simply called.
Ref parse_hms(const Globals& g, Handle text) {
    Ref strptime = g[ID("time")].attr(ID("strptime"));
    if (strptime.is(Handle(host_strptime))) {
        if (Ref mod = Ref::steal(PyImport_GetModule(ID("_strptime"))))
            strptime = mod.attr(ID("_strptime_time"));
        else if (PyErr_Occurred())
            raise();
    }
    return strptime(text, hms());
}

// bound(R[0]) OP now OP bound(R[1]), evaluated left to right and stopping
// at the first comparison that fails; each bound is parsed when reached.
bool chain_le(const Globals& g, Handle bounds, Handle now) {
    return parse_hms(g, item(bounds, 0)) <= now && now <= parse_hms(g, item(bounds, 1));
}
bool chain_ge(const Globals& g, Handle bounds, Handle now) {
    return parse_hms(g, item(bounds, 0)) >= now && now >= parse_hms(g, item(bounds, 1));
}

Ref current_time_in_range(const Globals& g, Handle, Handle time_range) {
    // The clock is read once, as six digits, and parsed back so that it
    // compares with the bounds field by field.
    Ref now = parse_hms(g, g[ID("time")].call(ID("strftime"), hms()));
    for (const Ref& range : iterate(split(time_range, ID(",")))) {
        Ref bounds = split(range, ID("-"));
        if (chain_le(g, bounds, now) || chain_ge(g, bounds, now)) return Ref(boolean(true));
    }
    return Ref(boolean(false));
}

// ---------------------------------------------------------------- pause

Ref sleep(const Globals& g, Handle, Handle seconds) {
    g[ID("time")].call(ID("sleep"), seconds);
    return none();
}

// ------------------------------------------------------ date and time

// time.strftime(f1 + sep + f2 + sep + f3, time.localtime(time.time()))
Ref formatted(const Globals& g, const char* f1, const char* f2, const char* f3, Handle sep) {
    Ref ticks = g[ID("time")].call(ID("time"));
    Ref fmt = str(f1) + sep + str(f2) + sep + str(f3);
    Ref time = g[ID("time")];
    return time.call(ID("strftime"), fmt, time.call(ID("localtime"), ticks));
}

Ref get_date(const Globals& g, Handle, Handle sep) { return formatted(g, "%Y", "%m", "%d", sep); }

Ref get_time(const Globals& g, Handle, Handle sep) { return formatted(g, "%H", "%M", "%S", sep); }

Ref get_date_time(const Globals&, Handle self, Handle date_sep, Handle time_sep) {
    return self.call(ID("CUF_GetDate"), date_sep) + str(" ") + self.call(ID("CUF_GetTime"), time_sep);
}

constexpr Def methods[] = {
    method<init>("__init__", {"self"}),
    method<disable_ctrl_c>("CUF_DisableCtrlC", {"self"}),
    method<current_time_in_range>("CUF_CurrentTimeInRange", {"self", "Pms_TimeRange"}),
    method<sleep>("CUF_Delay", {"self", "Pmd_sec"}),
    method<sleep>("CUF_Sleep", {"self", "Pmd_sec"}),
    method<get_date_time>("CUF_GetDateTime", {"self", "Pms_SEP_Date", "Pms_SEP_Time"}),
    method<get_date>("CUF_GetDate", {"self", "Pms_SEP_Date"}),
    method<get_time>("CUF_GetTime", {"self", "Pms_SEP_Time"}),
};

// --------------------------------------------------------- module body

// Prints what the demonstration's steps show: a range check, the date and
// time, and slices of the date and time strings.
void demonstration(Handle module) {
    Globals g(module.ptr());
    Ref obj = g[ID("CLASS_Delmique")]();
    add(module, "Gobj_Delmiq", obj);
    auto slice = [](const Ref& s, Py_ssize_t lo, Py_ssize_t hi) { return check(PySequence_GetSlice(s.ptr(), lo, hi)); };
    print(obj.call(ID("CUF_CurrentTimeInRange"), str("022000-105931")));
    print(obj.call(ID("CUF_GetDateTime"), str("/"), str("")));
    print(slice(obj.call(ID("CUF_GetDate"), str("")), 6, 8));
    print(slice(obj.call(ID("CUF_GetDate"), str("/")), 8, 10));
    print(slice(obj.call(ID("CUF_GetTime"), str(":")), 0, 5));
    print(slice(obj.call(ID("CUF_GetTime"), str("")), 0, 4));
}

Ref exec_body(Handle module) {
    import_into(module, "time");
    if (!host_strptime) host_strptime = import("time").attr(ID("strptime")).release();  // kept for good
    import_into(module, "signal");
    make_class(module, "CLASS_Delmique", nullptr, methods);
    if (is_main(module)) demonstration(module);
    return none();
}

}  // namespace
}  // namespace delmique

HOST_MODULE(Delmique, delmique::exec_body)
