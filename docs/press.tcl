# SPDX-License-Identifier: MIT
# GTKWave view of a recording of the simulated pins: every pin's wire, and the first frame
# with the start of the next in view (GTKWave otherwise opens zoomed to a few nanoseconds).
#   gtkwave -S docs/press.tcl press.vcd
set names [list]
for {set i 0} {$i < [gtkwave::getNumFacs]} {incr i} {
    lappend names [gtkwave::getFacName $i]
}
gtkwave::addSignalsFromList $names
gtkwave::setZoomRangeTimes 0 6400000
