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
constexpr Def init_def = method<init>("__init__", {"self"});

// ------------------------------------------------------- interrupt key

// signal.signal(signal.SIGINT, signal.SIG_IGN), then the same for SIGTSTP:
// the function, the signal number and the handler read in that order.
Ref disable_ctrl_c(const Globals& g, Handle) {
    for (PyObject* signum : {ID("SIGINT"), ID("SIGTSTP")}) {
        Ref set_handler = g[ID("signal")].attr(ID("signal"));
        Ref number = g[ID("signal")].attr(signum);
        set_handler(number, g[ID("signal")].attr(ID("SIG_IGN")));
    }
    return none();
}
constexpr Def disable_ctrl_c_def = method<disable_ctrl_c>("CUF_DisableCtrlC", {"self"});

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

// time.strptime, `time` read from the module namespace; called with
// (text, "%H%M%S") once the text is evaluated, after the lookup as in
// Python. When it is the host's own, the call goes to what that function
// calls, _strptime._strptime_time (read from sys.modules every time, so a
// replaced one is honoured), without the import round trip it makes on
// every call; anything else that stands in for it is simply called.
struct ParseHms {
    Ref strptime;
    explicit ParseHms(const Globals& g) : strptime(g[ID("time")].attr(ID("strptime"))) {}
    Ref operator()(Handle text) const {
        if (strptime.is(Handle(host_strptime))) {
            if (Ref mod = Ref::steal(PyImport_GetModule(ID("_strptime"))))
                return mod.attr(ID("_strptime_time"))(text, hms());
            if (PyErr_Occurred()) raise();
        }
        return strptime(text, hms());
    }
};

// time.strptime(R[0], "%H%M%S") OP now OP time.strptime(R[1], "%H%M%S"),
// left to right, stopping at the first comparison that fails; each bound
// is parsed when reached, strptime looked up before its argument is read.
template <class Op>
bool chain(const Globals& g, Handle bounds, Handle now, Op op) {
    ParseHms first(g);
    Ref lo = first(item(bounds, 0));
    if (!op(lo, now)) return false;
    ParseHms second(g);
    Ref hi = second(item(bounds, 1));
    return op(now, hi);
}

Ref current_time_in_range(const Globals& g, Handle, Handle time_range) {
    // The clock is read once, as six digits, and parsed back so that it
    // compares with the bounds field by field.
    ParseHms parse(g);
    Ref now = parse(g[ID("time")].call(ID("strftime"), hms()));
    for (const Ref& range : iterate(split(time_range, ID(",")))) {
        Ref bounds = split(range, ID("-"));
        auto le = [](Handle a, Handle b) { return a <= b; };
        auto ge = [](Handle a, Handle b) { return a >= b; };
        if (chain(g, bounds, now, le) || chain(g, bounds, now, ge)) return Ref(boolean(true));
    }
    return Ref(boolean(false));
}
constexpr Def current_time_in_range_def =
    method<current_time_in_range>("CUF_CurrentTimeInRange", {"self", "Pms_TimeRange"});

// ---------------------------------------------------------------- pause

Ref sleep(const Globals& g, Handle, Handle seconds) {
    g[ID("time")].call(ID("sleep"), seconds);
    return none();
}
constexpr Def delay_def = method<sleep>("CUF_Delay", {"self", "Pmd_sec"});
constexpr Def sleep_def = method<sleep>("CUF_Sleep", {"self", "Pmd_sec"});

// ------------------------------------------------------ date and time

// ticks = time.time()
// fmt = f1 + sep + f2 + sep + f3
// return time.strftime(fmt, time.localtime(ticks))
Ref formatted(const Globals& g, const char* f1, const char* f2, const char* f3, Handle sep) {
    Ref ticks = g[ID("time")].call(ID("time"));
    Ref fmt = str(f1) + sep;
    fmt = fmt + str(f2);
    fmt = fmt + sep;
    fmt = fmt + str(f3);
    Ref strftime = g[ID("time")].attr(ID("strftime"));
    Ref localtime = g[ID("time")].attr(ID("localtime"));
    return strftime(fmt, localtime(ticks));
}

Ref get_date(const Globals& g, Handle, Handle sep) { return formatted(g, "%Y", "%m", "%d", sep); }
constexpr Def get_date_def = method<get_date>("CUF_GetDate", {"self", "Pms_SEP_Date"});

Ref get_time(const Globals& g, Handle, Handle sep) { return formatted(g, "%H", "%M", "%S", sep); }
constexpr Def get_time_def = method<get_time>("CUF_GetTime", {"self", "Pms_SEP_Time"});

// text = self.CUF_GetDate(sep); text += " "; text += self.CUF_GetTime(sep)
Ref get_date_time(const Globals&, Handle self, Handle date_sep, Handle time_sep) {
    Ref text = self.call(ID("CUF_GetDate"), date_sep);
    text = iadd(text, str(" "));
    return iadd(text, self.call(ID("CUF_GetTime"), time_sep));
}
constexpr Def get_date_time_def = method<get_date_time>("CUF_GetDateTime", {"self", "Pms_SEP_Date", "Pms_SEP_Time"});

// The class body, in its order.
constexpr const Def* methods[] = {&init_def,     &disable_ctrl_c_def, &current_time_in_range_def,
                                  &delay_def,    &sleep_def,          &get_date_time_def,
                                  &get_date_def, &get_time_def};

// --------------------------------------------------------- module body

// Prints what the demonstration's steps show: a range check, the date and
// time, and slices of the date and time strings.
void demonstration(Handle module) {
    Globals g(module.ptr());
    Ref obj = g[ID("CLASS_Delmique")]();
    add(module, "Gobj_Delmiq", obj);
    auto slice = [](const Ref& s, Py_ssize_t lo, Py_ssize_t hi) { return check(PySequence_GetSlice(s.ptr(), lo, hi)); };
    auto print = [&](PyObject* method, const char* arg1, const char* arg2, Py_ssize_t lo, Py_ssize_t hi) {
        Ref print_ = g[ID("print")];
        Ref m = obj.attr(method);
        Ref text = arg2 ? m(str(arg1), str(arg2)) : m(str(arg1));
        print_(lo < 0 ? text : slice(text, lo, hi));
    };
    print(ID("CUF_CurrentTimeInRange"), "022000-105931", nullptr, -1, -1);
    print(ID("CUF_GetDateTime"), "/", "", -1, -1);
    print(ID("CUF_GetDate"), "", nullptr, 6, 8);
    print(ID("CUF_GetDate"), "/", nullptr, 8, 10);
    print(ID("CUF_GetTime"), ":", nullptr, 0, 5);
    print(ID("CUF_GetTime"), "", nullptr, 0, 4);
}

Ref exec_body(Handle module) {
    import_into(module, "time");
    if (!host_strptime)
        host_strptime = Globals(module.ptr())[ID("time")].attr(ID("strptime")).release();  // kept for good
    import_into(module, "signal");
    make_class(module, "CLASS_Delmique", nullptr, methods);
    if (is_main(module)) demonstration(module);
    return none();
}

}  // namespace
}  // namespace delmique

HOST_MODULE(Delmique, delmique::exec_body)
