# Development tasks. Everything installs into ./lib, never into the system library.
R       ?= R
RSCRIPT ?= Rscript
LIB     := $(CURDIR)/lib

.PHONY: all setup install demo test check bench clean

all: test

setup:
	@sh tools/setup.sh

install: setup
	@mkdir -p $(LIB)
	$(R) CMD INSTALL --no-multiarch --preclean -l $(LIB) .

demo: install
	$(RSCRIPT) --vanilla -e 'demo("tour", package = "client", lib.loc = "$(LIB)", echo = FALSE)'

test: install
	$(RSCRIPT) --vanilla tools/run-tests.R $(LIB)

# R CMD check as CRAN runs it, on a machine without network access: CRAN's intake checks (which
# ask CRAN's servers) are off, and file times are compared with this machine's clock rather than
# a time server's (--as-cran turns that check on whatever _R_CHECK_FUTURE_FILE_TIMESTAMPS_ says;
# _R_CHECK_SYSTEM_CLOCK_=false keeps it off the network). --no-manual: the PDF manual needs
# LaTeX, which is not part of this toolchain; the Rd files are still parsed and checked.
# tools/check-log.R then fails on every NOTE, WARNING or ERROR that is the package's to fix; the
# few notes it allows are listed there, each with its reason.
CHECK_ENV = _R_CHECK_CRAN_INCOMING_=false _R_CHECK_CRAN_INCOMING_REMOTE_=false \
            _R_CHECK_SYSTEM_CLOCK_=false

check: setup
	rm -rf check && mkdir check
	cd check && $(R) CMD build .. && \
	  { $(CHECK_ENV) $(R) CMD check --as-cran --no-manual client_*.tar.gz; status=$$?; \
	    $(RSCRIPT) --vanilla ../tools/check-log.R client.Rcheck/00check.log && exit $$status; }

bench: install
	$(RSCRIPT) --vanilla bench/base64.R $(LIB)

-include tools/dev.mk

clean:
	rm -rf lib check build src/*.o src/*.so
