-- NFKC: it works when the shipped rules name an NFKC rules file (NFKCfilepath), and is a
-- clean error naming the missing key while they do not (expected/nfkc.out; with NFKC,
-- expected/nfkc_1.out). kavex-normalize reads the same config.ini, so whether it wrote an
-- NFKC result tells which case this is.
SELECT count(*) > 0 AS nfkc_shipped FROM tool_results WHERE form = 'NFKC' AND profile IS NULL
\gset
\if :nfkc_shipped
-- NFKC composes what NFKD decomposes, and agrees with kavex-normalize.
SELECT bool_and(kavex_normalize(line, 'NFKC') = kavex_normalize(kavex_normalize(line, 'NFKD'), 'NFC'))
         AS composes_nfkd,
       bool_and(kavex_is_normalized(kavex_normalize(line, 'nfkc'), 'NFKC')) AS stable
FROM lines;
SELECT count(*) FILTER (WHERE kavex_normalize(l.line, t.form, t.profile) IS DISTINCT FROM t.line)
         AS differing
FROM tool_results t JOIN lines l USING (n)
WHERE t.form = 'NFKC';
\else
SELECT show_error($$SELECT kavex_normalize('x', 'NFKC')$$);
SELECT show_error($$SELECT kavex_is_normalized('x', 'nfkc')$$);
\endif
