# Chart of the concurrency curve: gnuplot -e "outfile='x.png'; dir='<out>'" concurrency.gp
# Columns of concurrency.dat: clients, rate p10, median, p90, failures (+ wrong), service threads (peak),
# CPU of the service, the client, the wineserver, Wine's other processes (% of one core), machine busy (%),
# CPU per signature (ms), CPU bound (signatures/s).
set terminal pngcairo size 1500,600 font "DejaVu Sans,10"
set output outfile
stats dir.'/concurrency.dat' using 3 name "RATE" nooutput
stats dir.'/concurrency.dat' using 6 name "THREADS" nooutput
set multiplot layout 1,2 title "Zentrava KSP: clients signing at once against serve with its defaults (RSA-2048 SignHash)"

set grid ytics
set logscale x 2
set xrange [0.8:320]
set xtics (1, 2, 4, 8, 16, 32, 64, 128, 256)
set xlabel "concurrent clients"
set key bottom right

set title "Signatures per second (median, p10–p90) and failures"
set ylabel "verified signatures per second"
set yrange [0:*]
set y2label "failed or wrong signatures"
set y2range [0:1<*]
set y2tics
set ytics nomirror
plot dir.'/concurrency.dat' using 1:3:2:4 with yerrorlines lw 2 pt 7 lc rgb "#4472c4" title "rate", \
     '' using 1:13 with linespoints dt 3 pt 6 lc rgb "#7f7f7f" title "CPU bound (cores / CPU per signature)", \
     0.8 * RATE_max with lines dt 2 lc rgb "#c00000" title "0.8 × best", \
     '' using 1:5 axes x1y2 with linespoints dt 2 pt 4 lc rgb "#ed7d31" title "failures (right axis)"

set title "Where the CPU goes, and the service's threads"
set ylabel "CPU, % of one core"
set y2label "service threads (peak)"
set y2range [0:2*THREADS_max<*]
set key bottom right
plot dir.'/concurrency.dat' using 1:7 with linespoints lw 2 pt 7 lc rgb "#4472c4" title "service", \
     '' using 1:8 with linespoints lw 2 pt 5 lc rgb "#70ad47" title "client (signing + verifying)", \
     '' using 1:9 with linespoints lw 2 pt 9 lc rgb "#ed7d31" title "wineserver", \
     '' using 1:10 with linespoints lw 1 pt 1 lc rgb "#a5a5a5" title "Wine's other processes", \
     '' using 1:11 with linespoints dt 2 lw 1 pt 2 lc rgb "#000000" title "machine busy (% of all cores)", \
     '' using 1:6 axes x1y2 with linespoints dt 3 lw 2 pt 6 lc rgb "#7030a0" title "service threads (right axis)"
unset multiplot
