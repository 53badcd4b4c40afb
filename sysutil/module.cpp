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
PyObject* hms_format() { return HOST_ID("%H%M%S"); }

// ------------------------------------------------------------ no-op ctor

Ref init(Call& c) {
    c.no_args("CLASS_Delmique.__init__");
    return none();
}

// ------------------------------------------------------- interrupt key

Ref disable_ctrl_c(Call& c) {
    c.no_args("CLASS_Delmique.CUF_DisableCtrlC");
    for (PyObject* signum : {HOST_ID("SIGINT"), HOST_ID("SIGTSTP")}) {
        Ref signal = c.global(HOST_ID("signal"));
        Ref num = getattr(signal.get(), signum);
        Ref ign = getattr(signal.get(), HOST_ID("SIG_IGN"));
        call_method(signal.get(), HOST_ID("signal"), num, ign);
    }
    return none();
}

// --------------------------------------------------------- time ranges

// obj.split(sep): the str method directly for exact strings, otherwise
// whatever `split` the object has (AttributeError when it has none).
Ref split(PyObject* obj, PyObject* sep) {
    if (PyUnicode_CheckExact(obj)) return check(PyUnicode_Split(obj, sep, -1));
    return call_method(obj, HOST_ID("split"), Ref::borrow(sep));
}

// seq[i] as the subscript operator reads it.
Ref item(PyObject* seq, Py_ssize_t i) {
    if (PyList_CheckExact(seq)) {
        if (i >= PyList_GET_SIZE(seq)) raise(PyExc_IndexError, "list index out of range");
        return Ref::borrow(PyList_GET_ITEM(seq, i));
    }
    Ref key = integer(i);
    return check(PyObject_GetItem(seq, key.get()));
}

// The host's own time.strptime, taken when the module loads.
PyObject* host_strptime = nullptr;

// time.strptime(text, "%H%M%S"), `time` read from the module namespace.
// When its `strptime` is the host's own, call what that function calls,
// _strptime._strptime_time (read from sys.modules every time, so a
// replaced one is honoured), without the import round trip it makes on
// every call; anything else that stands in for it is simply called.
Ref parse_hms(const Call& c, const Ref& text) {
    Ref time = c.global(HOST_ID("time"));
    Ref fn = getattr(time.get(), HOST_ID("strptime"));
    if (fn.get() == host_strptime) {
        if (Ref mod = Ref::steal(PyImport_GetModule(HOST_ID("_strptime")))) fn = getattr(mod.get(), HOST_ID("_strptime_time"));
        else if (PyErr_Occurred()) raise();
    }
    PyObject* argv[] = {nullptr, text.get(), hms_format()};
    return check(PyObject_Vectorcall(fn.get(), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

bool compare(const Ref& a, const Ref& b, int op) {
    Ref r = check(PyObject_RichCompare(a.get(), b.get(), op));
    return truth(r.get());
}

// bound(R[0]) OP now OP bound(R[1]), evaluated left to right and stopping
// at the first comparison that fails; each bound is parsed when reached.
bool chain(const Call& c, PyObject* bounds, const Ref& now, int op) {
    if (!compare(parse_hms(c, item(bounds, 0)), now, op)) return false;
    return compare(now, parse_hms(c, item(bounds, 1)), op);
}

Ref current_time_in_range(Call& c) {
    static const Signature sig{"CLASS_Delmique.CUF_CurrentTimeInRange", {"Pms_TimeRange"}, 1};
    PyObject* a[1];
    c.parse(sig, a);
    // The clock is read once, as six digits, and parsed back so that it
    // compares with the bounds field by field.
    Ref time = c.global(HOST_ID("time"));
    PyObject* argv[] = {time.get(), hms_format()};
    Ref digits = check(PyObject_VectorcallMethod(HOST_ID("strftime"), argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    Ref now = parse_hms(c, digits);

    PyObject* comma = HOST_ID(",");
    PyObject* dash = HOST_ID("-");
    Ref ranges = split(a[0], comma);
    Ref it = check(PyObject_GetIter(ranges.get()));
    while (Ref range = Ref::steal(PyIter_Next(it.get()))) {
        Ref bounds = split(range.get(), dash);
        if (chain(c, bounds.get(), now, Py_LE) || chain(c, bounds.get(), now, Py_GE)) return boolean(true);
    }
    if (PyErr_Occurred()) raise();
    return boolean(false);
}

// ---------------------------------------------------------------- pause

Ref sleep_for(Call& c, const Signature& sig) {
    PyObject* a[1];
    c.parse(sig, a);
    Ref time = c.global(HOST_ID("time"));
    call_method(time.get(), HOST_ID("sleep"), Ref::borrow(a[0]));
    return none();
}

Ref delay(Call& c) {
    static const Signature sig{"CLASS_Delmique.CUF_Delay", {"Pmd_sec"}, 1};
    return sleep_for(c, sig);
}

Ref sleep(Call& c) {
    static const Signature sig{"CLASS_Delmique.CUF_Sleep", {"Pmd_sec"}, 1};
    return sleep_for(c, sig);
}

// ------------------------------------------------------ date and time

Ref add(const Ref& a, const Ref& b) { return check(PyNumber_Add(a.get(), b.get())); }

// time.strftime(f1 + sep + f2 + sep + f3, time.localtime(time.time()))
Ref formatted(const Call& c, const char* f1, const char* f2, const char* f3, PyObject* sep_obj) {
    Ref time = c.global(HOST_ID("time"));
    Ref ticks = call_method(time.get(), HOST_ID("time"));
    Ref sep = Ref::borrow(sep_obj);
    Ref fmt = add(add(add(add(str(f1), sep), str(f2)), sep), str(f3));
    time = c.global(HOST_ID("time"));
    Ref local = call_method(time.get(), HOST_ID("localtime"), ticks);
    return call_method(time.get(), HOST_ID("strftime"), fmt, local);
}

Ref get_date(Call& c) {
    static const Signature sig{"CLASS_Delmique.CUF_GetDate", {"Pms_SEP_Date"}, 1};
    PyObject* a[1];
    c.parse(sig, a);
    return formatted(c, "%Y", "%m", "%d", a[0]);
}

Ref get_time(Call& c) {
    static const Signature sig{"CLASS_Delmique.CUF_GetTime", {"Pms_SEP_Time"}, 1};
    PyObject* a[1];
    c.parse(sig, a);
    return formatted(c, "%H", "%M", "%S", a[0]);
}

Ref get_date_time(Call& c) {
    static const Signature sig{"CLASS_Delmique.CUF_GetDateTime", {"Pms_SEP_Date", "Pms_SEP_Time"}, 2};
    PyObject* a[2];
    c.parse(sig, a);
    Ref date = call_method(c.self, HOST_ID("CUF_GetDate"), Ref::borrow(a[0]));
    Ref joined = add(date, str(" "));
    return add(joined, call_method(c.self, HOST_ID("CUF_GetTime"), Ref::borrow(a[1])));
}

PyMethodDef methods[] = {
    HOST_INIT(init, "__init__(self)\n--\n\n"),
    HOST_METHOD("CUF_DisableCtrlC", disable_ctrl_c, "CUF_DisableCtrlC($self)\n--\n\n"),
    HOST_METHOD("CUF_CurrentTimeInRange", current_time_in_range, "CUF_CurrentTimeInRange($self, Pms_TimeRange)\n--\n\n"),
    HOST_METHOD("CUF_Delay", delay, "CUF_Delay($self, Pmd_sec)\n--\n\n"),
    HOST_METHOD("CUF_Sleep", sleep, "CUF_Sleep($self, Pmd_sec)\n--\n\n"),
    HOST_METHOD("CUF_GetDateTime", get_date_time, "CUF_GetDateTime($self, Pms_SEP_Date, Pms_SEP_Time)\n--\n\n"),
    HOST_METHOD("CUF_GetDate", get_date, "CUF_GetDate($self, Pms_SEP_Date)\n--\n\n"),
    HOST_METHOD("CUF_GetTime", get_time, "CUF_GetTime($self, Pms_SEP_Time)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

// --------------------------------------------------------- module body

// Prints what the demonstration's steps show: a range check, the date and
// time, and slices of the date and time strings.
void demonstration(PyObject* module) {
    Ref cls = global(module, HOST_ID("CLASS_Delmique"));
    Ref obj = call(cls.get());
    check_int(PyModule_AddObjectRef(module, "Gobj_Delmiq", obj.get()));
    auto slice = [](const Ref& s, Py_ssize_t lo, Py_ssize_t hi) { return check(PySequence_GetSlice(s.get(), lo, hi)); };
    print(call_method(obj.get(), HOST_ID("CUF_CurrentTimeInRange"), str("022000-105931")));
    print(call_method(obj.get(), HOST_ID("CUF_GetDateTime"), str("/"), str("")));
    print(slice(call_method(obj.get(), HOST_ID("CUF_GetDate"), str("")), 6, 8));
    print(slice(call_method(obj.get(), HOST_ID("CUF_GetDate"), str("/")), 8, 10));
    print(slice(call_method(obj.get(), HOST_ID("CUF_GetTime"), str(":")), 0, 5));
    print(slice(call_method(obj.get(), HOST_ID("CUF_GetTime"), str("")), 0, 4));
}

Ref exec_body(PyObject* module) {
    Ref time = check(PyImport_ImportModule("time"));
    check_int(PyModule_AddObjectRef(module, "time", time.get()));
    if (!host_strptime) host_strptime = getattr(time.get(), HOST_ID("strptime")).release();  // kept for good
    Ref signal = check(PyImport_ImportModule("signal"));
    check_int(PyModule_AddObjectRef(module, "signal", signal.get()));
    make_class(module, {"Delmique.CLASS_Delmique", nullptr, methods, nullptr});
    if (is_main(module)) demonstration(module);
    return none();
}

}  // namespace
}  // namespace delmique

HOST_MODULE(Delmique, delmique::exec_body)
