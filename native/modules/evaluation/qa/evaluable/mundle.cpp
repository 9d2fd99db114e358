// tavrin.evaluation.qa.evaluable.mundle: a bot on the kelmor action framework
// as an evaluable subject. Each question is one bot turn in a fresh chat; the
// reply is the message of the turn's last recorded action.
#include "pyface/pyface.hpp"

namespace pf = pyface;
namespace nb = nanobind;
using namespace nb::literals;

namespace {

// lambda x: None -- the message callback; the reply is read from the history.
constexpr pf::Params ignore_message_params{pf::arg("x")};
nb::object ignore_message(pf::Call &) { return nb::none(); }

const pf::FuncDef ignore_message_def{
    .name = "<lambda>",
    .qualname = "Mundle.predict.<locals>.<lambda>",
    .params = ignore_message_params,
    .body = ignore_message,
};

// The row with the highest action_index among the history of this chat and
// user message, or None.
nb::object last_action_of(const pf::Call &c, nb::handle session, nb::handle chat_id,
                          nb::handle user_message_id) {
    nb::object history = c.global("ActionHistory");
    nb::object query = session.attr("query")(history);
    nb::object filtered = query.attr("filter_by")("chat_id"_a = chat_id,
                                                  "user_message_id"_a = user_message_id);
    nb::object newest_first = history.attr("action_index").attr("desc")();
    return filtered.attr("order_by")(newest_first).attr("first")();
}

constexpr pf::Params predict_params{pf::arg("self"), pf::arg("question", "str")};
nb::object mundle_predict(pf::Call &c) {
    nb::handle question = c.arg<predict_params, "question">();
    nb::object uuid4 = c.global("uuid").attr("uuid4");
    nb::object chat_id = uuid4();
    nb::object user_message_id = uuid4();

    // The chat id goes to the framework in the redirect's data, so that the
    // rows of this turn carry it and the query below finds them.
    nb::object run_action = c.global("run_action");
    nb::object redirect_cls = c.global("ActionRedirect");
    nb::object action = c.global("EntryAction")();
    nb::dict data;
    data["chat_id"] = chat_id;
    nb::object redirect = redirect_cls("question"_a = question, "action"_a = action, "data"_a = data);
    nb::object callback = pf::make_function(ignore_message_def, c.globals());
    run_action(user_message_id, redirect, callback);

    nb::object last_action = nb::none();

    // with get_db_session() as session:
    //     last_action = <the newest row of this turn>
    nb::object manager = c.global("get_db_session")();
    nb::handle manager_type((PyObject *)Py_TYPE(manager.ptr()));
    nb::object enter = manager_type.attr("__enter__");
    nb::object exit = manager_type.attr("__exit__");
    nb::object session = enter(manager);
    bool raised = false;
    try {
        try {
            last_action = last_action_of(c, session, chat_id, user_message_id);
        } catch (nb::python_error &) {
            throw;
        } catch (...) {
            pf::translate_current_exception();
            throw nb::python_error();
        }
    } catch (nb::python_error &e) {
        raised = true;
        nb::object tb = e.traceback();
        nb::object swallow = exit(manager, e.type(), e.value(), tb.is_valid() ? tb : nb::none());
        if (!pf::truthy(swallow))
            throw;
    }
    if (!raised)
        exit(manager, nb::none(), nb::none(), nb::none());

    nb::object reply = pf::truthy(last_action) ? last_action.attr("message") : nb::object(nb::str(""));
    return nb::make_tuple(reply, nb::list());
}

const pf::FuncDef mundle_predict_def{
    .name = "predict",
    .params = predict_params,
    .body = mundle_predict,
    .returns = "Tuple[str, list]",
};

} // namespace

PYFACE_MODULE(mundle, m) {
    m.import("uuid");
    m.from("typing", {"Tuple"});
    m.from("tavrin.evaluation.qa.evaluable.base", {"EvaluableQA"});
    m.from("tavrin.zorvane", {"EntryAction"});
    m.from("tavrin.kelmor", {"ActionHistory", "get_db_session", "ActionRedirect", "run_action"});

    pf::ClassBuilder(m, "Mundle", {m.get("EvaluableQA")}, "\n    Answer question via EntryAction\n    ")
        .method(mundle_predict_def)
        .finish();
}
