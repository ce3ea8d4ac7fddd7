# Development tasks. Everything installs into ./lib, never into the system library.
R       ?= R
RSCRIPT ?= Rscript
LIB     := $(CURDIR)/lib
export _R_CHECK_FUTURE_FILE_TIMESTAMPS_ = false

.PHONY: all setup install demo test check bench clean

all: test

setup:
	@sh tools/setup.sh

install: setup
	@mkdir -p $(LIB)
	$(R) CMD INSTALL --no-multiarch --preclean -l $(LIB) .

demo: install
	$(RSCRIPT) --vanilla -e 'suppressMessages(library(client, lib.loc = "$(LIB)"))' \
	  -e 'source(system.file("demo", "tour.R", package = "client", lib.loc = "$(LIB)"), echo = FALSE)'

test: install
	$(RSCRIPT) --vanilla tools/run-tests.R $(LIB)

check: setup
	rm -rf check && mkdir check
	cd check && $(R) CMD build .. && $(R) CMD check --no-manual client_*.tar.gz
	@grep -q '^Status: OK' check/client.Rcheck/00check.log || { echo "R CMD check: status is not OK"; exit 1; }

bench: install
	$(RSCRIPT) --vanilla bench/base64.R $(LIB)

-include tools/dev.mk

clean:
	rm -rf lib check build src/*.o src/*.so
