"""QA evaluation: question sets, subjects, evaluators, the run and its report."""
