-- An expression index and a generated column on kavex_normalize, used by the planner.
CREATE TABLE articles (id int PRIMARY KEY, body text,
  folded text GENERATED ALWAYS AS (kavex_normalize(body, 'NFKD', 'arabic-search')) STORED);
INSERT INTO articles (id, body)
SELECT i, CASE i % 3 WHEN 0 THEN U&'\0623\064E\062D\0652\0645\064E\062F ' || i
                     WHEN 1 THEN U&'\0627\062D\0645\062F ' || i
                     ELSE U&'\0625\062D\0645\0640\062F ' || i END
FROM generate_series(1, 3000) i;
CREATE INDEX articles_folded ON articles (kavex_normalize(body, 'NFKD', 'arabic-search'));
CREATE INDEX articles_nfc ON articles (kavex_normalize(body));
ANALYZE articles;

SET enable_seqscan = off;
EXPLAIN (COSTS OFF)
SELECT id FROM articles
WHERE kavex_normalize(body, 'NFKD', 'arabic-search') = kavex_normalize(U&'\0623\062D\0645\062F 42', 'NFKD', 'arabic-search');
-- Three spellings of one name, found through the index.
SELECT id, cps(body) FROM articles
WHERE kavex_normalize(body, 'NFKD', 'arabic-search')
      IN (SELECT kavex_normalize(U&'\0623\062D\0645\062F ' || n, 'NFKD', 'arabic-search')
          FROM (VALUES (42), (43), (44)) v(n))
ORDER BY id;
EXPLAIN (COSTS OFF) SELECT id FROM articles WHERE kavex_normalize(body) = 'x';
RESET enable_seqscan;

-- The generated column holds what the function gives.
SELECT count(*) FILTER (WHERE folded = kavex_normalize(body, 'NFKD', 'arabic-search')) AS same,
       count(DISTINCT split_part(folded, ' ', 1)) AS spellings
FROM articles;

-- A parallel scan runs the function in the workers.
SET parallel_setup_cost = 0;
SET parallel_tuple_cost = 0;
SET min_parallel_table_scan_size = 0;
SET max_parallel_workers_per_gather = 2;
EXPLAIN (COSTS OFF) SELECT count(*) FROM articles WHERE kavex_normalize(body, 'NFD') <> body;
SELECT count(*) FROM articles WHERE kavex_normalize(body, 'NFD') <> body;
RESET parallel_setup_cost;
RESET parallel_tuple_cost;
RESET min_parallel_table_scan_size;
RESET max_parallel_workers_per_gather;
