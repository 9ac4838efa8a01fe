#include "VivirovVizivurad/Artifacts/ArtifactPage.h"

#include <QRegularExpression>
#include <QStringList>

namespace vivirov {

namespace {
const QString sharedStyle = QStringLiteral(
    "html,body{margin:0;height:100%;font-family:-apple-system,BlinkMacSystemFont,system-ui,sans-serif;\n"
    "background:#0c0c11;color:#ececf1}");

const QString reactMount = QStringLiteral(
    "function __showErr(m){var r=document.getElementById('root');if(!r)return;"
    "while(r.firstChild)r.removeChild(r.firstChild);"
    "var p=document.createElement('pre');p.className='__err';p.textContent=String(m);r.appendChild(p);}\n"
    "window.addEventListener('error',function(e){__showErr(e.message);e.preventDefault();return true;});\n"
    "function __mountReact(){\n"
    "  try{\n"
    "    if(typeof React==='undefined'||typeof ReactDOM==='undefined'){"
    "__showErr('React runtime did not load (network needed). Source is available via the </> button.');return;}\n"
    "    var program=document.getElementById('__src').textContent+'\\n'+\n"
    "      '(function(){var __C=(typeof App!==\"undefined\"&&App)?App:(typeof __DEFAULT__!==\"undefined\"?__DEFAULT__:undefined);'+\n"
    "      'if(typeof __C!==\"function\"){__showErr(\"No React component found \\u2014 define one, e.g. function App() { return (...); }\");return;}'+\n"
    "      'class __EB extends React.Component{constructor(p){super(p);this.state={error:null};}'+\n"
    "      'static getDerivedStateFromError(e){return {error:e};}'+\n"
    "      'componentDidCatch(e){__showErr(\"Render error: \"+((e&&e.message)||String(e)));}'+\n"
    "      'render(){return this.state.error?null:React.createElement(__C);}}'+\n"
    "      'try{var __el=React.createElement(__EB);var __root=document.getElementById(\"root\");'+\n"
    "      'if(ReactDOM.createRoot){ReactDOM.createRoot(__root).render(__el);}else{ReactDOM.render(__el,__root);}}'+\n"
    "      'catch(e){__showErr(\"Render error: \"+((e&&e.message)||String(e)));}})();';\n"
    "    var compiled=Babel.transform(program,{presets:['react']}).code;\n"
    "    var s=document.createElement('script');s.text=compiled;document.body.appendChild(s);\n"
    "  }catch(e){__showErr('Compile error: '+((e&&e.message)||String(e)));}\n"
    "}\n"
    "setTimeout(function(){if(typeof Babel==='undefined'){"
    "__showErr('The React runtime did not load. The source is available via the </> button.');}},8000);\n");
} // namespace

QString ArtifactPage::rewriteReactSource(const QString& source) {
    QStringList kept;
    for (const QString& line : source.split(u'\n')) {
        qsizetype begin = 0;
        while (begin < line.size() && (line[begin] == u' ' || line[begin] == u'\t')) ++begin;
        if (QStringView(line).sliced(begin).startsWith(u"import ")) continue;
        kept << line;
    }
    QString text = kept.join(u'\n');
    // An anonymous default function has no name to declare: keep it an
    // expression, or the page fails to compile a valid source.
    static const QRegularExpression anonymous(QStringLiteral("export default function\\s*\\("));
    text.replace(anonymous, QStringLiteral("var __DEFAULT__ = function ("));
    text.replace(QStringLiteral("export default function"), QStringLiteral("function"));
    text.replace(QStringLiteral("export default"), QStringLiteral("var __DEFAULT__ ="));
    return text;
}

QString ArtifactPage::reactScaffold(const QString& source) {
    return QStringLiteral("<!doctype html><html><head><meta charset=\"utf-8\">\n<style>") + sharedStyle +
           QStringLiteral(
               " #root{height:100%;box-sizing:border-box}\n"
               ".__err{padding:16px;color:#ff8a8a;font:13px ui-monospace,Menlo,monospace;white-space:pre-wrap}\n"
               ".__load{padding:16px;color:#888;font:13px ui-monospace,Menlo,monospace}</style>\n"
               "</head><body><div id=\"root\"><div class=\"__load\">Loading React runtime…</div></div>\n"
               "<script id=\"__src\" type=\"text/plain\">\n") +
           rewriteReactSource(source) + QStringLiteral("\n</script>\n<script>\n") + reactMount +
           QStringLiteral(
               "</script>\n"
               "<script src=\"react.production.min.js\" onerror=\"__showErr('Could not load React.')\"></script>\n"
               "<script src=\"react-dom.production.min.js\" onerror=\"__showErr('Could not load ReactDOM.')\"></script>\n"
               "<script src=\"babel.min.js\" onload=\"__mountReact()\" onerror=\"__showErr('Could not load Babel.')\"></script>"
               "\n</body></html>");
}

QString ArtifactPage::mermaidScaffold(const QString& source) {
    QString escaped = source;
    escaped.replace(u'&', QStringLiteral("&amp;"));
    escaped.replace(u'<', QStringLiteral("&lt;"));
    escaped.replace(u'>', QStringLiteral("&gt;"));
    return QStringLiteral("<!doctype html><html><head><meta charset=\"utf-8\">\n<style>") + sharedStyle +
           QStringLiteral(" body{display:grid;place-items:center;padding:16px}.mermaid{max-width:96vw}\n"
                          ".__load{color:#888;font:13px ui-monospace,Menlo,monospace}</style></head>\n"
                          "<body><pre class=\"mermaid\">") +
           escaped +
           QStringLiteral(
               "</pre>\n"
               "<div class=\"__load\" id=\"__l\">Loading diagram…</div>\n"
               "<script src=\"mermaid.min.js\"\n"
               "  onload=\"(function(){var l=document.getElementById('__l');if(!l)return;try{"
               "mermaid.initialize({theme:'dark',securityLevel:'loose'});mermaid.run();l.remove();}"
               "catch(e){l.textContent='Diagram error: '+((e&&e.message)||e);}})()\"\n"
               "  onerror=\"(function(){var l=document.getElementById('__l');if(!l)return;"
               "l.textContent='Could not load the Mermaid runtime.';})()\"></script>\n"
               "</body></html>");
}

QString ArtifactPage::scaffold(const Artifact& artifact) {
    const QString content = QString::fromStdString(artifact.content);
    switch (artifact.kind) {
    case ArtifactKind::react: return reactScaffold(content);
    case ArtifactKind::html: return content;
    case ArtifactKind::svg:
        return QStringLiteral("<!doctype html><html><head><meta charset=\"utf-8\"><style>") + sharedStyle +
               QStringLiteral("\nbody{display:grid;place-items:center;padding:16px;box-sizing:border-box}\n"
                              "svg{max-width:100%;max-height:100%;height:auto}</style></head>\n<body>") +
               content + QStringLiteral("</body></html>");
    case ArtifactKind::mermaid: return mermaidScaffold(content);
    case ArtifactKind::markdown: return QString();
    }
    return QString();
}

} // namespace vivirov
