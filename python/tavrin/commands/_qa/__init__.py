"""What the QA evaluation commands share (``evaluate``, ``resume``, ``merge``, ``markdown``,
``html``, ``compare`` and ``judge-agreement``, each in its own module of ``tavrin.commands``).

``resume`` and ``markdown`` extend the commands of ``tavrin.evaluation.qa.commands``: the
same parameters, texts and behaviour, plus the options below and checks made before any
work starts (safe outputs, reports found from another folder, one-line errors, an exit
status of 1 when a run stops early). The module commands themselves are unchanged.

Options shared by ``evaluate`` and ``resume`` (``running._run_options``):

- ``--jobs N``: up to N judgements in flight (``tavrin.evaluation.qa.run``); 1 makes them
  one after another, as ``Evaluation.run`` does;
- ``--keep-going``: a judgement that fails is left out and the run goes on;
- ``--max-retries``, ``--request-timeout``, ``--rpm``: how model requests are made
  (``tavrin._llm``);
- ``--judge-model`` (or ``$TAVRIN_JUDGE_MODEL``), ``--no-cache``: the judges' model and
  answer cache;
- ``--subject-option KEY=VALUE``: constructor arguments of subjects that need them;
- ``--quiet``: no progress bar (it is drawn only when stderr is a terminal);
- ``--format text|json``: the score summary printed at the end;
- ``--fail-under [SUBJECT:]EVALUATOR=RATE``: a CI gate (``tavrin.evaluation.qa.gates``):
  exit status 3 when a completed run scores under it;
- ``--junit FILE``: the judgements and gates as JUnit XML.

By topic: ``running`` (the run, its report, gates and the shared options), ``summary``
(the progress bar and the score summary), ``subjects`` (classes named on the command line
and their constructor arguments), ``shards`` and ``common`` (the one-line error, reports
and output checks).
"""
