# Latency distributions of the HAC channel against the floor of its
# transport, one panel per figure. Called by bench/run with dir (the folder
# of LABEL_SERIES.dat files: microseconds, cumulative fraction) and out.
set terminal pngcairo size 1600,900 font "sans,10"
set output out
set multiplot layout 2,4 title "HAC channel (red) against the bare queue floor (blue): cumulative distribution of latency"
set logscale x
set xlabel "microseconds (log)"
set ylabel "fraction of messages"
set yrange [0:1.02]
set grid xtics mxtics ytics
set key bottom right
hac = "lw 2 lc rgb '#c0392b'"
flr = "lw 2 lc rgb '#2471a3'"

set title "1: GetVersion round trip vs ping-pong"
plot dir."/normal_query_hac.dat" w l @hac t "HAC", dir."/normal_query_floor.dat" w l @flr t "floor"
set title "2a: StopApp until member vs one-way"
plot dir."/normal_stopapp_hac.dat" w l @hac t "HAC", dir."/normal_oneway_floor.dat" w l @flr t "floor"
set title "2b: SendKey+StopApp vs two one-way"
plot dir."/normal_sendkey_hac.dat" w l @hac t "HAC", dir."/normal_twoway_floor.dat" w l @flr t "floor"
set title "3: SendAppState until callback vs one-way"
plot dir."/normal_appstate_hac.dat" w l @hac t "HAC", dir."/normal_notify_floor.dat" w l @flr t "floor"
set title "4: SendAitAppInfo (12 records) vs 16 fragments"
plot dir."/normal_appinfo_hac.dat" w l @hac t "HAC", dir."/normal_large_floor.dat" w l @flr t "floor"
set title "5: GetVersion, both processes on CPU 0"
plot dir."/pinned_query_hac.dat" w l @hac t "HAC", dir."/pinned_query_floor.dat" w l @flr t "floor"
set title "5: StopApp until member, both processes on CPU 0"
plot dir."/pinned_stopapp_hac.dat" w l @hac t "HAC", dir."/pinned_oneway_floor.dat" w l @flr t "floor"
set title "5: SendAitAppInfo, both processes on CPU 0"
plot dir."/pinned_appinfo_hac.dat" w l @hac t "HAC", dir."/pinned_large_floor.dat" w l @flr t "floor"
unset multiplot
