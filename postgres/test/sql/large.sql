-- Values of 10 MB and more, normalized a piece at a time: the pieces must put together
-- the value normalized whole.
CREATE TABLE big (name text, body text);
-- Words with harakat and U+06BE out of order, separated by spaces.
INSERT INTO big SELECT 'words', repeat(U&'\067E\0651\06BE \0628\0651\0650 \FEFB, ', 700000);
-- One word of 10 MB: no place to cut it.
INSERT INTO big SELECT 'one word', repeat(U&'\0628\0651\0650', 1800000);
-- Lines.
INSERT INTO big SELECT 'lines', repeat(U&'\0627\0653\0654 x' || E'\n', 1200000);

SELECT name, octet_length(body) >= 10000000 AS ten_mb, form,
       kavex_normalize(body, form) = (
         CASE name
           WHEN 'words' THEN repeat(kavex_normalize(U&'\067E\0651\06BE \0628\0651\0650 \FEFB, ', form), 700000)
           WHEN 'one word' THEN repeat(kavex_normalize(U&'\0628\0651\0650', form), 1800000)
           ELSE repeat(kavex_normalize(U&'\0627\0653\0654 x' || E'\n', form), 1200000)
         END) AS same,
       kavex_is_normalized(body, form) AS normalized
FROM big, (VALUES ('NFC'), ('NFD'), ('NFKD')) f(form)
ORDER BY 1, 3;

DROP TABLE big;
