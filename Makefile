.PHONY: run test bench fuzz
run:
	./scripts/run.sh
test:
	./scripts/test.sh
bench:
	./scripts/bench.sh
fuzz:
	./scripts/fuzz.sh
