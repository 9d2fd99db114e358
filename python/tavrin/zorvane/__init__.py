"""zorvane: a conversational bot on the kelmor action framework.

A turn enters at ``EntryAction``, which turns away a blank question and otherwise
hands the question to ``AnswerAction``; that one asks the chat model, with the chat's
earlier turns as context, and says its reply.
"""

import functools
from typing import ClassVar, List, Optional

from langchain.base_language import BaseLanguageModel
from langchain.schema import AIMessage, BaseMessage, HumanMessage, SystemMessage

from tavrin.kelmor import Action, ActionContext, ActionRedirect, ActionResult

__all__ = ["AnswerAction", "EntryAction", "default_llm"]

SYSTEM_PROMPT = (
    "You are a helpful assistant for software developers. Answer questions about code "
    "precisely and briefly; say so when you do not know."
)
BLANK_QUESTION_REPLY = "Please ask a question."


@functools.lru_cache(maxsize=None)
def default_llm() -> BaseLanguageModel:
    """The bot's chat model unless ``AnswerAction.llm`` is set: OpenAI's gpt-4 (needs ``OPENAI_API_KEY``)."""
    from langchain.chat_models import ChatOpenAI

    return ChatOpenAI(model_name="gpt-4", temperature=0.1)


class EntryAction(Action):
    """Where every turn starts."""

    def run(self, context: ActionContext) -> ActionResult:
        question = context.question.strip()
        if not question:
            return ActionResult(message=BLANK_QUESTION_REPLY)
        return ActionResult(redirect=ActionRedirect(question=question, action=AnswerAction(), data=context.data))


class AnswerAction(Action):
    """Answers the question with the chat model."""

    # The chat model; None means ``default_llm()``. Set on the class or an instance to
    # use another model.
    llm: ClassVar[Optional[BaseLanguageModel]] = None
    system_prompt: ClassVar[str] = SYSTEM_PROMPT

    def messages(self, context: ActionContext) -> List[BaseMessage]:
        """The conversation put to the model: instructions, earlier turns, the question."""
        messages: List[BaseMessage] = [SystemMessage(content=self.system_prompt)]
        for question, reply in context.history:
            messages.append(HumanMessage(content=question))
            messages.append(AIMessage(content=reply))
        messages.append(HumanMessage(content=context.question))
        return messages

    def run(self, context: ActionContext) -> ActionResult:
        llm = self.llm if self.llm is not None else default_llm()
        reply = llm.predict_messages(self.messages(context))
        return ActionResult(message=str(reply.content))
