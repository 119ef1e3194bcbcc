# Every target provisions what it needs (see tools/provision.sh) and then runs the task
# inside the build place. ARGS is passed on to the task's own runner, e.g.
#   make py-test ARGS='-k scan'     make cpp-test ARGS='-R Scan'     make test ARGS='-x'
RUN = tools/in-root.sh tools/tasks.sh
ARGS ?=
TASKS = test py-test cpp-test demo typecheck package bench tsan asan refleaks refleaks-short \
	ft-check parallel fuzz mutate instructions build format

.PHONY: $(TASKS) test-ft layers shell clean distclean
$(TASKS):
	$(RUN) $@ $(ARGS)
# The suite on a free-threaded CPython 3.14 that exists already:
#   make test-ft QV_PYTHON_FT=/path/to/python3.14t
test-ft:
	QV_PYTHON_FT=$(QV_PYTHON_FT) $(RUN) test-ft $(ARGS)
layers:
	python3 tools/check_layers.py
shell:
	tools/in-root.sh bash
clean:
	rm -rf build
# Also the cached build roots (QV_ROOT_CACHE); the next target provisions a new one.
distclean: clean
	tools/provision.sh --remove
