"""The table of the action history."""

import datetime
import uuid
from typing import Optional

from sqlalchemy import DateTime, Integer, String, Text, UniqueConstraint, Uuid
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column


class Base(DeclarativeBase):
    """Declarative base of the framework's tables."""


class ActionHistory(Base):
    """One step of a bot turn: which action ran and what it said."""

    __tablename__ = "action_history"
    __table_args__ = (UniqueConstraint("user_message_id", "action_index"),)

    id: Mapped[int] = mapped_column(Integer, primary_key=True, autoincrement=True)
    chat_id: Mapped[uuid.UUID] = mapped_column(Uuid, index=True)
    user_message_id: Mapped[uuid.UUID] = mapped_column(Uuid, index=True)
    action_index: Mapped[int] = mapped_column(Integer)
    action_name: Mapped[str] = mapped_column(String(200))
    question: Mapped[str] = mapped_column(Text)
    # What the action said to the user; None when it only handed over to another action.
    message: Mapped[Optional[str]] = mapped_column(Text, nullable=True)
    created_at: Mapped[datetime.datetime] = mapped_column(
        DateTime(timezone=True), default=lambda: datetime.datetime.now(datetime.timezone.utc)
    )

    def __repr__(self) -> str:
        return (
            f"<ActionHistory chat={self.chat_id} message={self.user_message_id} "
            f"#{self.action_index} {self.action_name}: {self.message!r}>"
        )
