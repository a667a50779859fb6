# Writes docs/sample-report.md from a run of the demo: its console output (both
# streams, in order), and excerpts of the text and XML reports it writes. Run by
# the `sample_report` target:
#   cmake --build <build> --target sample_report
# Arguments: DEMO (the program), WORK (a scratch folder), OUT (the page).

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
execute_process(COMMAND ${DEMO} ${WORK}/reports
                WORKING_DIRECTORY ${WORK}
                RESULT_VARIABLE status
                OUTPUT_VARIABLE console
                ERROR_VARIABLE console)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "the demo failed (${status}):\n${console}")
endif()
# Paths differ from machine to machine.
string(REPLACE "${WORK}/" "<build>/examples/demo/" console "${console}")

file(READ ${WORK}/reports/allocators.txt text)
file(READ ${WORK}/reports/allocators.xml xml)

# The text report of the Scene root and of its child Meshes: from the Scene
# heading to the heading of the first grandchild.
string(FIND "${text}" "==== Scene " from)
string(FIND "${text}" "====     Vertices" to)
math(EXPR length "${to} - ${from}")
string(SUBSTRING "${text}" ${from} ${length} textExcerpt)

# The XML of one leaf, Vertices.
string(FIND "${xml}" "<ENGINE name=\"Vertices\"" from)
string(SUBSTRING "${xml}" ${from} -1 rest)
string(FIND "${rest}" "</ENGINE>" to)
math(EXPR to "${to} + 9")
string(SUBSTRING "${rest}" 0 ${to} xmlExcerpt)

file(WRITE ${OUT} "# Sample output of the demo

What `cmake --workflow --preset demo` prints and writes, produced by the demo
itself (`cmake --build build/demo --target sample_report` regenerates this
page). Figures are exact; times and addresses change from run to run.

## Console

The \"MEMORY ERROR\" lines are the library's trace errors on standard error, for
the handle the demo destroys with blocks in use on purpose; the line after them
is the host's `IAllocatorContext::OnMemoryError`.

```text
${console}```

## Text report (excerpt)

`allocators.txt` holds every engine of the trees in this form. The heading
line of each engine is the demo's; the rest is `LmAlloc::FileStream`: each
statistic that ever held bytes, the size classes of a root's pool (blocks, then
pages) and the request-size histogram of the root's tree.

```text
${textExcerpt}```

## XML report (excerpt)

`allocators.xml` holds the same through `LmAlloc::XMLFileStream`; the demo
wraps each engine in an `ENGINE` element and the whole in one root element.

```xml
${xmlExcerpt}
```
")
message(STATUS "wrote ${OUT}")
