# `make run`: set up and decode the default sample. `make test`: set up and
# run the tests. Both install what is missing first (scripts/setup.sh).
VENV := .venv

.PHONY: setup run test clean

setup:
	bash scripts/setup.sh

run: setup
	$(VENV)/bin/python examples/demo.py $(FILE)

test: setup
	$(VENV)/bin/pytest -q $(PYTEST_ARGS)

clean:
	rm -rf build $(VENV)
