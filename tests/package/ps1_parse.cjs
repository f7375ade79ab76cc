// Parses PowerShell scripts with the tree-sitter PowerShell grammar (no
// PowerShell runs on this machine) and prints every node it cannot parse.
//   node ps1_parse.cjs <file.ps1>...     exit 1 if any file has a problem
const { Parser, Language } = require('web-tree-sitter');
const fs = require('fs');

(async () => {
    await Parser.init();
    const parser = new Parser();
    parser.setLanguage(await Language.load(require.resolve('tree-sitter-powershell/tree-sitter-powershell.wasm')));
    let problems = 0;
    for (const file of process.argv.slice(2)) {
        const bad = [];
        const walk = (node) => {
            if (node.isError || node.isMissing) {
                bad.push(node);
            } else if (node.hasError) {
                node.children.forEach(walk);
            }
        };
        walk(parser.parse(fs.readFileSync(file, 'utf8')).rootNode);
        for (const n of bad) {
            const where = `${file}:${n.startPosition.row + 1}:${n.startPosition.column + 1}`;
            console.log(`${where}: ${n.isMissing ? 'missing ' + n.type : 'cannot parse ' + JSON.stringify(n.text.slice(0, 60))}`);
        }
        problems += bad.length;
    }
    process.exit(problems ? 1 : 0);
})();
