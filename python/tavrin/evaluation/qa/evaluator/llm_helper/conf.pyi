import guidance as guidance

chat_gpt: guidance.llms.OpenAI
