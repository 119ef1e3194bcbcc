# Every target provisions what it needs (see tools/provision.sh) and then runs the task
# inside the build place.
RUN = tools/in-root.sh tools/tasks.sh

.PHONY: test demo typecheck bench tsan asan refleaks refleaks-short ft-check parallel fuzz mutate instructions build format layers shell clean
test:
	$(RUN) test
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
