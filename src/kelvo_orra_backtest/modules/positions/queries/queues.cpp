// Position fetch and the two exchange queues between the side that asks for
// positions and the side that answers.
#include "queries.hpp"

namespace kob {

namespace {

// queue.put(value) on the queue stored in attribute `name`, read now.
void queue_put(py::handle self, PyObject* name, py::handle value) {
    py::object queue = attr(self, name);
    steal(PyObject_CallMethodOneArg(queue.ptr(), KOB_STR("put"), value.ptr()));
}

// How long one timed wait on a standard queue lasts before pending signal
// handlers get their turn.
constexpr double kWaitSlice = 0.05;

// queue.get() on the queue stored in attribute `name`, read now.  The wait
// happens inside the queue's own Python code, which releases the interpreter
// lock.  A standard queue is waited on in short timed slices: some libraries
// loaded into the process take over the C-level SIGINT handler and pass the
// signal on late, so an endless wait would only see Ctrl-C once an item
// arrived.  Other queue objects get a plain get().
py::object queue_get(const Call& c, PyObject* name) {
    py::object queue = attr(c.self, name);
    py::object queue_module = c.global(KOB_STR("queue"));
    py::object standard = attr(queue_module, KOB_STR("Queue"));
    if (Py_TYPE(queue.ptr()) != reinterpret_cast<PyTypeObject*>(standard.ptr()))
        return steal(PyObject_CallMethodNoArgs(queue.ptr(), KOB_STR("get")));
    py::object empty = attr(queue_module, KOB_STR("Empty"));
    py::object slice = steal(PyFloat_FromDouble(kWaitSlice));
    for (;;) {
        PyObject* args[] = {queue.ptr(), Py_True, slice.ptr()};
        PyObject* item = PyObject_VectorcallMethod(KOB_STR("get"), args, 3, nullptr);
        if (item) return steal(item);
        if (!PyErr_ExceptionMatches(empty.ptr())) throw py::error_already_set();
        PyErr_Clear();
        check(PyErr_CheckSignals());
    }
}

bool is_instance(py::handle value, PyTypeObject* type) {
    const int r = PyObject_IsInstance(value.ptr(), reinterpret_cast<PyObject*>(type));
    check(r);
    return r != 0;
}

py::object fetch_positions(Call& c) {
    py::handle account_type = c[0];
    PyObject* kind = nullptr;
    for (PyObject* literal : {KOB_STR(domain::kStock), KOB_STR(domain::kFuture)}) {
        const int same = PyObject_RichCompareBool(account_type.ptr(), literal, Py_EQ);
        check(same);
        if (same) {
            kind = literal;
            break;
        }
    }
    if (!kind) raise_with_value(PyExc_Exception, KOB_STR("不支援的帳戶類型: "), account_type);
    const int detail = PyObject_IsTrue(c[1].ptr());
    check(detail);
    py::object rows = call_method(
        c.self, detail ? name_on_instance(pos_format_position_detail) : name_on_instance(pos_format_position_summary),
        kind);
    call_method(c.self, KOB_STR("add_positions_to_queue"), rows);
    return py::none();
}

py::object add_positions_to_queue(Call& c) {
    py::handle positions = c[0];
    const bool accepted = PyList_Check(positions.ptr()) || PyDict_Check(positions.ptr()) ||
                          is_instance(positions, &PyList_Type) || is_instance(positions, &PyDict_Type);
    if (!accepted)
        raise_with_value(PyExc_Exception, KOB_STR("不支援的持有部位格式: "),
                         py::handle(reinterpret_cast<PyObject*>(Py_TYPE(positions.ptr()))));
    queue_put(c.self, KOB_STR("fetch_position_queue"), positions);
    return py::none();
}

py::object pop_positions(Call& c) { return queue_get(c, KOB_STR("fetch_position_queue")); }

py::object add_finish_notify_to_queue(Call& c) {
    queue_put(c.self, KOB_STR("finish_fetch_position_queue"), Py_True);
    return py::none();
}

py::object pop_finish_notify(Call& c) {
    py::object notice = queue_get(c, KOB_STR("finish_fetch_position_queue"));
    set_attr(c.self, KOB_STR("wait_fetch_position_response_flag"), Py_False);
    return notice;
}

}  // namespace

const MethodSpec pos_fetch_positions = {
    .name = "fetch_positions",
    .params =
        {
            {"account_type", Kind::Any, "Literal['Stock', 'Future']"},
            {"fetch_detail", Kind::Any, "bool", Def::False},
        },
    .impl = fetch_positions,
    .doc = R"doc(取得持有部位

        Args:
            account_type (Literal["Stock", "Future"]): 帳戶類型
            fetch_detail (bool, optional): 是否取得詳細的持有部位. Defaults to False.

        Returns:
            Dict[str, Any]: 持有部位
        )doc",
    .returns = "Dict[str, Any]",
};

const MethodSpec pos_add_positions_to_queue = {
    .name = "add_positions_to_queue",
    .params =
        {
            {"positions", Kind::Any, "object"},
        },
    .impl = add_positions_to_queue,
    .doc = R"doc(將持有部位加入 Queue

        Args:
            positions (List[Dict[str, Any]] | Dict[str, Any]): 持有部位
        )doc",
};

const MethodSpec pos_pop_positions = {
    .name = "pop_positions",
    .impl = pop_positions,
    .doc = "取得盤中未實現損益的請求",
};

const MethodSpec pos_add_finish_notify_to_queue = {
    .name = "add_finish_notify_to_queue",
    .impl = add_finish_notify_to_queue,
    .doc = "將盤中未實現損益計算完成的通知加入 Queue",
};

const MethodSpec pos_pop_finish_notify = {
    .name = "pop_finish_notify",
    .impl = pop_finish_notify,
    .doc = "取得盤中未實現損益計算完成的通知",
};

}  // namespace kob
