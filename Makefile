# Every target provisions what it needs (see tools/provision.sh) and then runs the task
# inside the build place.
RUN = tools/in-root.sh tools/tasks.sh

.PHONY: test test-ft demo typecheck bench tsan asan refleaks refleaks-short ft-check parallel fuzz mutate instructions build format layers shell clean
test:
	$(RUN) test
# The suite on a free-threaded CPython 3.14 that exists already:
#   make test-ft QV_PYTHON_FT=/path/to/python3.14t
test-ft:
	QV_PYTHON_FT=$(QV_PYTHON_FT) $(RUN) test-ft
demo:
	$(RUN) demo
typecheck:
	$(RUN) typecheck
bench:
	$(RUN) bench
tsan:
	$(RUN) tsan
asan:
	$(RUN) asan
refleaks:
	$(RUN) refleaks
refleaks-short:
	$(RUN) refleaks-short
ft-check:
	$(RUN) ft-check
parallel:
	$(RUN) parallel
fuzz:
	$(RUN) fuzz
instructions:
	$(RUN) instructions
mutate:
	$(RUN) mutate
build:
	$(RUN) build
format:
	$(RUN) format
layers:
	python3 tools/check_layers.py
shell:
	tools/in-root.sh bash
clean:
	rm -rf build
