.PHONY: run test bench
run:
	./scripts/run.sh
test:
	./scripts/test.sh
bench:
	./scripts/bench.sh
